// Tests that compare two looks at this machine run beside tests that make and remove throwaway
// accounts. Those rewrite the account databases (a new file renamed into place), so an unchanged
// stamp of them means no account came or went between two moments.
#pragma once

#include <sys/stat.h>

#include <string>

namespace qelto::test {

inline std::string accountsStamp() {
    std::string stamp;
    for (const char* path : {"/etc/passwd", "/etc/group", "/etc/shadow"}) {
        struct stat st {};
        if (::stat(path, &st) == 0)
            stamp += std::to_string(st.st_ino) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
                     std::to_string(st.st_mtim.tv_nsec) + ' ';
    }
    return stamp;
}

}  // namespace qelto::test
