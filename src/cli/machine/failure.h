// A refusal as the command gives it: the exit status and the one line said.
#pragma once

#include <string>

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

struct Failure {
    int status;
    std::string message;
};
