// What the code under test writes to standard output, or a child process to its streams.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
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

struct ProcessResult {
    int exit_code = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// command[0] is looked up on PATH, so "env" can set or clear the child's environment.
inline ProcessResult run_process(std::vector<std::string> command) {
    std::vector<char*> argv;
    for (std::string& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
    ProcessResult result;
    pid_t pid = -1;
    int status = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
        waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    posix_spawn_file_actions_destroy(&actions);
    result.out = read_and_close(out);
    result.err = read_and_close(err);
    return result;
}

}  // namespace tovren::qel::testing
