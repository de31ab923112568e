#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace zel::sip::stack::test {

/// A helper program (openssl s_client, s_server) run for one test: its standard input is a pipe
/// we write to, its standard output and error go to a file. The destructor kills it and waits for
/// it, so a failing test leaves no process behind.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, std::string outputPath)
        : outputPath_(std::move(outputPath)) {
        int input[2];
        if (pipe(input) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_addclose(&actions, input[1]);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int result = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        input_ = input[1];
        if (result != 0) {
            close(input_);
            throw std::runtime_error("cannot start " + arguments[0]);
        }
    }
    ~ChildProcess() {
        close(input_);
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Write(const std::string& text) const {
        if (write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("cannot write to the child");
    }

    /// Everything it printed so far.
    std::string Output() const {
        std::ifstream file(outputPath_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    std::string outputPath_;
    pid_t pid_ = -1;
    int input_ = -1;
};

} // namespace zel::sip::stack::test
