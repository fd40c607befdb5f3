// A child process that the test watches while it runs: its output so far, signals, its exit.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace tovren::qel::testing {

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

}  // namespace tovren::qel::testing
