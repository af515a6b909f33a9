#include "ids.h"

#include <mutex>
#include <vector>

#include <cstring>

namespace qelto::wmi::lnx {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at p followed by two blanks; -1 otherwise.
int hexId(const char* p, const char* end) {
    if (end - p < 6) return -1;
    int v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hexDigit(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    if (p[4] != ' ' || p[5] != ' ') return -1;
    return v;
}

QString nameAfter(const char* p, const char* end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    if (!nl) nl = end;
    return QString::fromUtf8(p, nl - p).trimmed();
}

}  // namespace

IdDatabase::IdDatabase(QByteArray text) : text_(std::move(text)) {
    const char* const begin = text_.constData();
    const char* const end = begin + text_.size();
    const char* p = begin;
    while (p < end) {
        // Sections after the vendors ("C 00  Unclassified device", "AT …") end the vendor part.
        if (p[0] == 'C' && end - p > 1 && p[1] == ' ') break;
        const int id = hexId(p, end);
        if (id >= 0 && !vendors_.contains(quint16(id))) vendors_.insert(quint16(id), p - begin);
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        if (!nl) break;
        p = nl + 1;
    }
}

QString IdDatabase::vendor(quint16 vendorId) const {
    auto it = vendors_.constFind(vendorId);
    if (it == vendors_.constEnd()) return {};
    const char* end = text_.constData() + text_.size();
    return nameAfter(text_.constData() + it.value() + 6, end);
}

QString IdDatabase::device(quint16 vendorId, quint16 deviceId) const {
    auto it = vendors_.constFind(vendorId);
    if (it == vendors_.constEnd()) return {};
    const char* const end = text_.constData() + text_.size();
    const char* p = text_.constData() + it.value();
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    while (nl && nl + 1 < end) {
        p = nl + 1;
        if (*p == '#') {
            nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            continue;
        }
        if (*p != '\t') break;  // the next vendor
        if (end - p > 1 && p[1] != '\t' && hexId(p + 1, end) == deviceId)
            return nameAfter(p + 7, end);
        nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    }
    return {};
}

std::shared_ptr<const IdDatabase> sharedIdDatabase(const QByteArray& text) {
    // The few texts seen last; a text is the same when it is the same shared buffer.
    static std::mutex mutex;
    static std::vector<std::pair<QByteArray, std::shared_ptr<const IdDatabase>>> recent;
    const std::lock_guard lock(mutex);
    for (const auto& [kept, index] : recent)
        if (kept.constData() == text.constData() && kept.size() == text.size()) return index;
    auto index = std::make_shared<const IdDatabase>(text);
    recent.emplace_back(text, index);
    if (recent.size() > 4) recent.erase(recent.begin());
    return index;
}

QHash<QString, QString> parsePnpIds(const QByteArray& text) {
    QHash<QString, QString> out;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype tab = line.indexOf('\t');
        if (tab != 3) continue;
        out.insert(QString::fromLatin1(line.left(3)).toUpper(),
                   QString::fromUtf8(line.mid(4)).trimmed());
    }
    return out;
}

}  // namespace qelto::wmi::lnx
