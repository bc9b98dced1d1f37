#pragma once
// Runs the built dhcpanvil and captures what it wrote and how it ended.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct ToolRun {
    std::string out;
    std::string err;
    int status = -1;
};

inline std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline ToolRun runTool(const std::vector<std::string>& arguments) {
    char outPath[] = "/tmp/anvil-cli-out-XXXXXX";
    char errPath[] = "/tmp/anvil-cli-err-XXXXXX";
    int outFD = mkstemp(outPath);
    int errFD = mkstemp(errPath);
    pid_t child = fork();
    if (child == 0) {
        dup2(outFD, 1);
        dup2(errFD, 2);
        std::vector<char*> argv{const_cast<char*>(ANVIL_DHCPANVIL_PATH)};
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wait = 0;
    waitpid(child, &wait, 0);
    close(outFD);
    close(errFD);
    ToolRun run{readWhole(outPath), readWhole(errPath), WIFEXITED(wait) ? WEXITSTATUS(wait) : -1};
    unlink(outPath);
    unlink(errPath);
    return run;
}
