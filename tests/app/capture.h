// What the code under test writes to standard output, or a child process to its streams.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace tovren::qel::testing {

// The whole of a temporary file, which is then closed.
inline std::string read_and_close(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
        text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// Standard output goes into a temporary file, or into the file given, until finish().
class StdoutCapture {
  public:
    explicit StdoutCapture(std::FILE* into = std::tmpfile())
        : saved_((std::fflush(nullptr), dup(1))), file_(into) {
        dup2(fileno(file_), 1);
    }
    ~StdoutCapture() { finish(); }

    // Everything written since construction (nothing when the file cannot be read back);
    // restores standard output.
    std::string finish() {
        if (file_ != nullptr) {
            std::fflush(nullptr);
            dup2(saved_, 1);
            close(saved_);
            text_ = read_and_close(file_);
            file_ = nullptr;
        }
        return text_;
    }

  private:
    const int saved_;
    std::FILE* file_;
    std::string text_;
};

// A child process that the test can watch while it runs: its output so far, signals, its
// exit.
class Child {
  public:
    // command[0] is looked up on PATH, so "env" can set or clear the child's environment.
    explicit Child(std::vector<std::string> command) {
        std::vector<char*> argv;
        for (std::string& word : command)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fileno(out_), 1);
        posix_spawn_file_actions_adddup2(&actions, fileno(err_), 2);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    // A child still running when the test gives up is killed, never left behind.
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::fclose(out_);
        std::fclose(err_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 || exited_; }
    void signal(int sig) const {
        if (pid_ > 0)
            kill(pid_, sig);
    }
    // Whether it has ended; the first call that sees the end reaps it.
    bool exited() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exited_ = true;
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exited_;
    }
    // Waits for its end and gives exit_code().
    int wait() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            exited_ = true;
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exit_code_;
    }
    // -1 until it has exited by itself (a signal that ended it also gives -1).
    int exit_code() const { return exit_code_; }
    std::string out() const { return read(out_); }
    std::string err() const { return read(err_); }

  private:
    static std::string read(std::FILE* file) {
        std::string text;
        char buf[4096];
        ssize_t got;
        while ((got = pread(fileno(file), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
            text.append(buf, static_cast<size_t>(got));
        return text;
    }

    std::FILE* out_ = std::tmpfile();
    std::FILE* err_ = std::tmpfile();
    pid_t pid_ = -1;
    bool exited_ = false;
    int exit_code_ = -1;
};

struct ProcessResult {
    int exit_code = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// A whole run of a child process.
inline ProcessResult run_process(std::vector<std::string> command) {
    Child child(std::move(command));
    ProcessResult result;
    result.exit_code = child.wait();
    result.out = child.out();
    result.err = child.err();
    return result;
}

}  // namespace tovren::qel::testing
