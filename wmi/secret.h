#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>

namespace qelto::wmi {

// Overwrites the characters of a text, all of its buffer, in place, and empties the text. A buffer
// that other texts share is theirs too and is left alone (only this reference goes).
void wipe(QString& text);
void wipe(QByteArray& bytes);

// A password. It has one owner: it can be moved but not copied, and its characters are overwritten
// when it is cleared or destroyed, in UTF-16 (what the window and Qt hold) and in UTF-8 (what the
// transports take) alike. While any secret holds characters the process cannot be dumped or
// attached to by others (PR_SET_DUMPABLE 0), and from the first secret on it writes no core file
// (RLIMIT_CORE 0).
class Secret {
  public:
    Secret() = default;
    // Takes the text's characters. A buffer shared with another text (a widget's own) is copied,
    // then overwritten where it is, so that the other text's copy goes too.
    Secret(QString&& text);  // NOLINT: implicit, so that `password = box->text()` reads as it did
    // Takes UTF-8 bytes and overwrites them.
    static Secret fromUtf8(QByteArray&& bytes);
    // A second secret of the same characters, for a caller that keeps its own (tests).
    static Secret copyOf(QStringView text);

    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret();

    bool isEmpty() const { return text_.isEmpty(); }
    QStringView text() const { return text_; }
    // NUL-terminated UTF-8, for the libraries that take a C string.
    const char* utf8() const { return utf8_.constData(); }
    qsizetype utf8Size() const { return utf8_.size(); }

    void clear();

  private:
    void hold();

    QString text_;
    QByteArray utf8_;
    bool held_ = false;
};

// What a connection request carries: a handle on one secret. A request is copied on its way (a
// source that takes off the time spent probing, one request per host of a batch); the copies share
// the one secret, whose characters go when the last copy does. No copy of the characters is made.
class SharedSecret {
  public:
    SharedSecret() = default;
    SharedSecret(Secret&& secret)  // NOLINT: implicit, like Secret's own
        : secret_(secret.isEmpty() ? nullptr : std::make_shared<const Secret>(std::move(secret))) {}
    SharedSecret(QString&& text) : SharedSecret(Secret(std::move(text))) {}  // NOLINT

    bool isEmpty() const { return !secret_; }
    QStringView text() const { return secret_ ? secret_->text() : QStringView(); }
    const char* utf8() const { return secret_ ? secret_->utf8() : ""; }
    qsizetype utf8Size() const { return secret_ ? secret_->utf8Size() : 0; }

  private:
    std::shared_ptr<const Secret> secret_;
};

// Takes a variable out of the environment: its value as a secret, overwritten where the
// environment held it and removed, so that no program started later inherits it. nullopt when it
// is not set.
std::optional<Secret> takeFromEnvironment(const char* name);

}  // namespace qelto::wmi
