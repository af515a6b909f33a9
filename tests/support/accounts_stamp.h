// Tests that compare two looks at this machine run beside tests that make and remove throwaway
// accounts. Those rewrite the account databases (a new file renamed into place), so an unchanged
// stamp of them means no account came or went between two moments.
#pragma once

#include <sys/stat.h>

#include <array>
#include <string>

namespace qelto::test {

inline constexpr std::array<const char*, 3> kAccountFiles{"/etc/passwd", "/etc/group",
                                                          "/etc/shadow"};

inline std::string accountsStamp() {
    std::string stamp;
    for (const char* path : kAccountFiles) {
        struct stat st {};
        if (::stat(path, &st) == 0)
            stamp += std::to_string(st.st_ino) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
                     std::to_string(st.st_mtim.tv_nsec) + ' ';
    }
    return stamp;
}

// Runs look() until no account came or went while it ran, at most `tries` times; whether the
// last run saw the accounts held still.
template <typename Look>
bool lookWhileAccountsHoldStill(Look&& look, int tries = 10) {
    for (int i = 0; i < tries; ++i) {
        const std::string stamp = accountsStamp();
        look();
        if (accountsStamp() == stamp) return true;
    }
    return false;
}

}  // namespace qelto::test
