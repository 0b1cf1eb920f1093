#include "Debug.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

Debug::Debug() {
    errors[0] = "No error. ";
    errors[-39901] = "Couldn't allocate the memory error. ";
}

int Debug::evaluateError(int errorNum) {
    if (errorNum == 0) return 0;
    const auto it = errors.find(errorNum);
    if (it != errors.end())
        fprintf(stderr, "Error : %d %s ", errorNum, it->second.c_str());
    else {
        const int savedErrno = errno;
        fprintf(stderr, "Error : %d strerror reports : %s ", errorNum, strerror(savedErrno));
    }
    return errorNum;
}

int Debug::evaluateError(int errorNum, std::string specialStr) {
    const int ret = evaluateError(errorNum);
    fputs(specialStr.c_str(), stderr);
    return ret;
}

std::string Debug::message(int errorNum) const {
    const auto it = errors.find(errorNum);
    return it == errors.end() ? std::string() : it->second;
}
