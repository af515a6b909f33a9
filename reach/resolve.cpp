// Names resolved within a deadline: getaddrinfo_a for the lookups, gai_suspend for the wait.

#include "resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>

namespace qelto::reach {

namespace {

// A lookup handed to the C library. Its memory must live until the library is done with it.
struct Lookup {
    QByteArray name;
    addrinfo hints{};
    gaicb request{};
};

// Lookups that outlived their caller's deadline, freed once the library has finished them.
std::mutex abandonedMutex;
std::list<std::unique_ptr<Lookup>> abandoned;
// More unfinished lookups than this means the name service is not answering at all: new names
// fail at once instead of queueing behind them.
constexpr std::size_t kMostAbandoned = 256;

std::size_t reapAbandoned() {
    const std::lock_guard lock(abandonedMutex);
    for (auto it = abandoned.begin(); it != abandoned.end();) {
        const int status = gai_error(&(*it)->request);
        if (status == EAI_INPROGRESS) {
            ++it;
            continue;
        }
        if (status == 0 && (*it)->request.ar_result) freeaddrinfo((*it)->request.ar_result);
        it = abandoned.erase(it);
    }
    return abandoned.size();
}

void abandon(std::unique_ptr<Lookup> lookup) {
    if (gai_cancel(&lookup->request) == EAI_CANCELED) return;
    const std::lock_guard lock(abandonedMutex);
    abandoned.push_back(std::move(lookup));
}

Resolution fromList(addrinfo* list) {
    Resolution r;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        address.family = a->ai_family;
        r.addresses.push_back(address);
    }
    r.status = r.addresses.empty() ? Resolution::Status::NoSuchName : Resolution::Status::Found;
    return r;
}

Resolution::Status statusOf(int error) {
    switch (error) {
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_FAIL:
        case EAI_ADDRFAMILY:
            return Resolution::Status::NoSuchName;
        default:
            return Resolution::Status::Failed;
    }
}

}  // namespace

int Address::port() const {
    if (family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

void Address::setPort(int port) {
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(quint16(port));
    else if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(quint16(port));
}

QString Address::text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    const void* raw =
        family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
    if (!inet_ntop(family, raw, buffer, sizeof buffer)) return {};
    return QString::fromLatin1(buffer);
}

bool parseLiteral(const QString& text, Address* address) {
    const QByteArray bytes = text.toLatin1();
    if (text.isEmpty() || bytes.size() != text.size()) return false;
    Address a;
    auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    if (inet_pton(AF_INET, bytes.constData(), &in->sin_addr) == 1) {
        in->sin_family = a.family = AF_INET;
        a.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, bytes.constData(), &in6->sin6_addr) == 1) {
        in6->sin6_family = a.family = AF_INET6;
        a.length = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    *address = a;
    return true;
}

std::vector<Resolution> resolve(const std::vector<QString>& names, Deadline deadline) {
    std::vector<Resolution> results(names.size());
    std::vector<std::unique_ptr<Lookup>> lookups(names.size());
    std::vector<gaicb*> asked;
    const bool overloaded = reapAbandoned() >= kMostAbandoned;
    for (std::size_t i = 0; i < names.size(); ++i) {
        Address literal;
        if (parseLiteral(names[i], &literal)) {
            results[i].status = Resolution::Status::Found;
            results[i].addresses.push_back(literal);
            continue;
        }
        if (names[i].isEmpty() || overloaded) continue;  // Failed
        auto lookup = std::make_unique<Lookup>();
        lookup->name = names[i].toUtf8();
        lookup->hints.ai_family = AF_UNSPEC;
        lookup->hints.ai_socktype = SOCK_STREAM;
        lookup->request.ar_name = lookup->name.constData();
        lookup->request.ar_request = &lookup->hints;
        asked.push_back(&lookup->request);
        lookups[i] = std::move(lookup);
    }
    if (!asked.empty()) {
        // getaddrinfo_a takes at most a few thousand requests in one call; ask in slices.
        constexpr std::size_t kSlice = 512;
        for (std::size_t at = 0; at < asked.size(); at += kSlice) {
            const std::size_t n = std::min(kSlice, asked.size() - at);
            if (getaddrinfo_a(GAI_NOWAIT, asked.data() + at, int(n), nullptr) != 0) {
                // Not queued: those requests are not in progress and may be freed.
                for (std::size_t k = at; k < at + n; ++k) asked[k] = nullptr;
            }
        }
        for (;;) {
            std::vector<const gaicb*> pending;
            for (const gaicb* r : asked)
                if (r && gai_error(const_cast<gaicb*>(r)) == EAI_INPROGRESS) pending.push_back(r);
            if (pending.empty() || deadline.passed()) break;
            const auto left = deadline.left();
            timespec wait{time_t(left.count() / 1000), long(left.count() % 1000) * 1000000};
            const int s = gai_suspend(pending.data(), int(pending.size()), &wait);
            if (s == EAI_AGAIN) break;  // the deadline
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!lookups[i]) continue;
        gaicb& r = lookups[i]->request;
        const bool queued = std::find(asked.begin(), asked.end(), &r) != asked.end();
        const int status = queued ? gai_error(&r) : EAI_SYSTEM;
        if (status == EAI_INPROGRESS) {
            results[i].status = Resolution::Status::TimedOut;
            abandon(std::move(lookups[i]));
            continue;
        }
        if (status == 0) {
            results[i] = fromList(r.ar_result);
            freeaddrinfo(r.ar_result);
        } else {
            results[i].status = statusOf(status);
        }
    }
    return results;
}

Resolution resolve(const QString& name, Deadline deadline) {
    return std::move(resolve(std::vector<QString>{name}, deadline).front());
}

}  // namespace qelto::reach
