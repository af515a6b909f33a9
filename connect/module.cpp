#include "module.h"

#include "wmi/error.h"

#include "common/charset.h"

#include <QFile>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <mutex>

namespace qelto::connect {

namespace {

// A path with its links resolved, or the path itself.
QByteArray resolved(const char* path) {
    char buffer[PATH_MAX];
    return ::realpath(path, buffer) ? QByteArray(buffer) : QByteArray(path);
}

class ModuleDialer : public Dialer {
  public:
    ModuleDialer(QString source, const char* file, const char* entry)
        : source_(std::move(source)), file_(file), entry_(entry) {}

    std::unique_ptr<wmi::Service> connect(const wmi::ConnectRequest& request,
                                          const wmi::HostText& host, Reached* reached) override {
        return loaded().connect(request, host, reached);
    }
    std::vector<Candidate> candidates(const wmi::HostText& host) override {
        return loaded().candidates(host);
    }

  private:
    Dialer& loaded() {
        const std::lock_guard lock(mutex_);
        if (dialer_) return *dialer_;
        const QByteArray path = QFile::encodeName(moduleFolder()) + '/' + file_;
        void* handle = ::dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
        const char* why = handle ? nullptr : ::dlerror();
        using Entry = Dialer* (*)();
        const auto entry = handle ? reinterpret_cast<Entry>(::dlsym(handle, entry_)) : nullptr;
        if (handle && !entry) why = ::dlerror();
        if (!entry)
            throw wmi::Error(wmi::code::Failed,
                             QStringLiteral("无法载入 %1 来源的模块 %2：%3")
                                 .arg(source_, QFile::decodeName(path), common::fromCLibrary(why)));
        // The module stays loaded: what it made (services, errors) may outlive this dialer.
        dialer_.reset(entry());
        return *dialer_;
    }

    QString source_;
    const char* file_;
    const char* entry_;
    std::mutex mutex_;
    std::unique_ptr<Dialer> dialer_;
};

}  // namespace

std::shared_ptr<Dialer> moduleDialer(QString source, const char* file, const char* entry) {
    return std::make_shared<ModuleDialer>(std::move(source), file, entry);
}

QString moduleFolder() {
    static const QString folder = [] {
        const QByteArray exe = resolved("/proc/self/exe");
        const QByteArray build = resolved(QELTO_BUILD_ROOT);
        if (exe.startsWith(QByteArray(build + '/'))) return QStringLiteral(QELTO_BUILD_MODULES);
        return QStringLiteral(QELTO_INSTALLED_MODULES);
    }();
    return folder;
}

}  // namespace qelto::connect
