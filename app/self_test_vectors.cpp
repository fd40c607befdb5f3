#include "self_test_vectors.h"

namespace tovren::qel {

// Rows 0 and 1 are block headers (version 1, a zero previous hash, two fixed roots, time,
// four zero bytes, compact target) so that the header layout itself is exercised; rows 2
// and 3 are structureless bytes with nonces that use all 64 bits. The roots and data are
// arbitrary fixed bytes; the expected hashes are the proof-of-work hashes of each row.
const SelfTestVector self_test_vectors[kSelfTestVectorCount] = {
    {"01000000000000000000000000000000000000000000000000000000000000000000000016"
     "4a5db80229477daeceebe7a0a9e0c7967e4ed8e1c93c37bcd4ab74c6c69a1fa2792c859a9fe0"
     "ecff42107bac6bd23e9a4febde2f5f90fbac53db9f4b31a354c0e3e16a000000000000401e",
     77492ULL, "7c1bd084ff58cbaafe4b5f7838397b6c7577fd3ec48591824d2d0c55fbaf05b4"},
    {"01000000000000000000000000000000000000000000000000000000000000000000000016"
     "4a5db80229477daeceebe7a0a9e0c7967e4ed8e1c93c37bcd4ab74c6c69a1fa2792c859a9fe0"
     "ecff42107bac6bd23e9a4febde2f5f90fbac53db9f4b31a3548046dd6a00000000ffff7f20",
     6ULL, "4e054900ddc3d25b2166d3d738bd777f901441f53832e79c51b61573ba5ee470"},
    {"311d3e96b1e72617479527875df918afe5b910f0962220a4f536076f7c08879976306a1292"
     "000c7877117e89fd4af4d67dfd7f3823c85da98b38aaef34d07a1eac60d957f024cbedf6186b"
     "737d821e2c34d7caf2e34cd7e63c405e814f2d45c132e4a4af9d4d16cec40b23fbf94e78bf",
     10895288830829988125ULL, "8f7f9ba6bc99db31d0a1ddcf462905c1a1930974cfbd2becf20f5dffa53b7a1f"},
    {"c5328206d4b2e3bdfc638aaf29eb7d24eb053081ab38030176a9dd8e41b0d4105cce261901"
     "b85908be97dcc7fbe3b77f04d0e4d65c0bd17c4e624722b5a70f370ed5005eb6ae051f8cad46"
     "9b0539cf9ae4de637cbaa0418bddd39868e097bf9baba55f66a6caac638b8b525011486ca7",
     10325050544151945862ULL, "f71b96b7002d055a1a34bf14ebd55e4117c56891aad02cec4c18e9288a1ce873"},
};

}  // namespace tovren::qel
