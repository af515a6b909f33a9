#include "module.h"

#include "error.h"

#include "common/charset.h"

#include <QFile>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <mutex>

namespace qelto::wmi {

namespace {

// A path with its links resolved, or the path itself.
QByteArray resolved(const char* path) {
    char buffer[PATH_MAX];
    return ::realpath(path, buffer) ? QByteArray(buffer) : QByteArray(path);
}

class ModuleSource : public Source {
  public:
    explicit ModuleSource(ModuleDescription module) : module_(std::move(module)) {}

    QString name() const override { return module_.name; }
    bool takes(const HostText& host) const override { return module_.takes(host); }
    bool servesBareHosts() const override { return module_.servesBareHosts; }
    int preference() const override { return module_.preference; }
    std::vector<reach::Candidate> candidates(const HostText& host) const override {
        if (module_.candidates) return module_.candidates(host);
        return loaded().candidates(host);
    }
    std::unique_ptr<Service> connect(const ConnectRequest& request, const HostText& host,
                                     reach::Winner* reached) override {
        return loaded().connect(request, host, reached);
    }

  private:
    Source& loaded() const {
        const std::lock_guard lock(mutex_);
        if (source_) return *source_;
        const QByteArray path = QFile::encodeName(moduleFolder()) + '/' + module_.file;
        void* handle = ::dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
        const char* why = handle ? nullptr : ::dlerror();
        using Entry = Source* (*)();
        const auto entry =
            handle ? reinterpret_cast<Entry>(::dlsym(handle, module_.entry)) : nullptr;
        if (handle && !entry) why = ::dlerror();
        if (!entry)
            throw Error(code::Failed,
                        QStringLiteral("无法载入 %1 来源的模块 %2：%3")
                            .arg(module_.name, QFile::decodeName(path), common::fromCLibrary(why)));
        // The module stays loaded: what it made (services, errors) may outlive this source.
        source_.reset(entry());
        return *source_;
    }

    ModuleDescription module_;
    mutable std::mutex mutex_;
    mutable std::unique_ptr<Source> source_;
};

}  // namespace

std::unique_ptr<Source> moduleSource(ModuleDescription module) {
    return std::make_unique<ModuleSource>(std::move(module));
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

}  // namespace qelto::wmi
