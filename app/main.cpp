#include "miner.h"

int main(int argc, char** argv) {
    return tovren::qel::run_miner(argc, argv);
}
