// Runs the simulated miner as a child process with a chosen environment and collects its
// exit code, standard output and standard error.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace tovren::qel::testing {

struct ProcessResult {
    int exit_code = -1;  // -1 when the child did not exit normally
    std::string out;
    std::string err;
};

inline std::string slurp(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) {
        text.append(buf, got);
    }
    std::fclose(file);
    return text;
}

// env: entries to set (value) or, with a value of nullptr, to remove from this process's
// environment before it is handed to the child.
inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::map<std::string, const char*>& env = {}) {
    std::vector<std::string> argv_storage{program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_storage) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> env_storage;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) {
            env_storage.push_back(entry);
        }
    }
    for (const auto& [name, value] : env) {
        if (value != nullptr) {
            env_storage.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& e : env_storage) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
    ProcessResult result;
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) {
            result.exit_code = WEXITSTATUS(status);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
}

}  // namespace tovren::qel::testing
