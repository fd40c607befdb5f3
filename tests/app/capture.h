// Captures what the code under test writes to standard output or standard error.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tovren::qel::testing {

class FdCapture {
  public:
    explicit FdCapture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = dup(fd_);
        file_ = std::tmpfile();
        dup2(fileno(file_), fd_);
    }
    ~FdCapture() { finish(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Everything written since construction; restores the descriptor.
    std::string finish() {
        if (file_ == nullptr) {
            return text_;
        }
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        std::rewind(file_);
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, file_)) > 0) {
            text_.append(buf, got);
        }
        std::fclose(file_);
        file_ = nullptr;
        return text_;
    }

  private:
    int fd_;
    int saved_ = -1;
    std::FILE* file_ = nullptr;
    std::string text_;
};

struct StdoutCapture : FdCapture {
    StdoutCapture() : FdCapture(1) {}
};

struct StderrCapture : FdCapture {
    StderrCapture() : FdCapture(2) {}
};

}  // namespace tovren::qel::testing
