#include "secret.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qelto::wmi {

namespace {

// Writes zeros that the compiler may not leave out because nobody reads them afterwards.
void zero(void* p, std::size_t n) {
    if (n > 0) ::explicit_bzero(p, n);
}

template <class Data>
void wipeBuffer(Data& d, std::size_t unit) {
    // The whole allocation: an earlier, longer text may have left characters past the end.
    if (!d.d_ptr()) return;  // no buffer of its own (empty, or static text)
    auto* begin = reinterpret_cast<char*>(d.data()) - d.freeSpaceAtBegin() * unit;
    zero(begin, std::size_t(d.constAllocatedCapacity()) * unit);
}

// How many secrets hold characters, and the dumpable state from before the first.
std::mutex heldMutex;
int heldCount = 0;
int dumpableBefore = 1;

}  // namespace

void wipe(QString& text) {
    if (text.isDetached()) wipeBuffer(text.data_ptr(), sizeof(char16_t));
    text = QString();
}

void wipe(QByteArray& bytes) {
    if (bytes.isDetached()) wipeBuffer(bytes.data_ptr(), 1);
    bytes = QByteArray();
}

Secret::Secret(QString&& text) {
    if (text.isEmpty()) {
        text = QString();
        return;
    }
    hold();
    if (text.isDetached()) {
        text_ = std::move(text);
    } else {
        // Shared with its source (a line edit's text): a copy of our own, then the shared
        // characters overwritten for everyone, the source included.
        text_ = QString(text.constData(), text.size());
        if (text.data_ptr().d_ptr()) wipeBuffer(text.data_ptr(), sizeof(char16_t));
        text = QString();
    }
    utf8_ = text_.toUtf8();
}

Secret Secret::fromUtf8(QByteArray&& bytes) {
    QString text = QString::fromUtf8(bytes);
    wipe(bytes);
    return Secret(std::move(text));
}

Secret Secret::copyOf(QStringView text) {
    return Secret(text.toString());
}

Secret::Secret(Secret&& other) noexcept
    : text_(std::move(other.text_)), utf8_(std::move(other.utf8_)), held_(other.held_) {
    other.held_ = false;
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        clear();
        text_ = std::move(other.text_);
        utf8_ = std::move(other.utf8_);
        held_ = other.held_;
        other.held_ = false;
    }
    return *this;
}

Secret::~Secret() {
    clear();
}

void Secret::clear() {
    wipe(text_);
    wipe(utf8_);
    if (!held_) return;
    held_ = false;
    const std::lock_guard lock(heldMutex);
    if (--heldCount == 0) ::prctl(PR_SET_DUMPABLE, dumpableBefore);
}

void Secret::hold() {
    held_ = true;
    const std::lock_guard lock(heldMutex);
    if (heldCount++ > 0) return;
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    dumpableBefore = ::prctl(PR_GET_DUMPABLE) == 1 ? 1 : 0;
    ::prctl(PR_SET_DUMPABLE, 0);
}

std::optional<Secret> takeFromEnvironment(const char* name) {
    char* value = std::getenv(name);
    if (!value) return std::nullopt;
    const std::size_t size = std::strlen(value);
    Secret secret = Secret::fromUtf8(QByteArray(value, qsizetype(size)));
    zero(value, size);  // the environment's own copy, which unsetenv would leave behind
    ::unsetenv(name);
    return secret;
}

}  // namespace qelto::wmi
