#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

// Parsers of the package managers' databases (see docs/software.md). Each takes the bytes that a
// gathering brought and never touches the machine; malformed input gives fewer packages.
namespace qelto::wmi::lnx {

// One installed program as its package manager records it.
struct Package {
    QString name, version, architecture, vendor;
    qint64 installed = 0;  // seconds since 1970, 0 when unknown
};

// The lines of a database of "Field: value" stanzas that the parsers need: those that start with
// one of the prefixes, and the blank lines between stanzas; each ends with '\n'. The remote
// gatherer sends the same through `grep -E` (filterPattern()).
QByteArray keepFields(const QByteArray& text, const QStringList& prefixes);
// The extended regular expression that keeps the same lines: "^(Package:|Status:)|^$".
QByteArray filterPattern(const QStringList& prefixes);

// The dpkg status database (/var/lib/dpkg/status): the packages whose files are on the disk
// (state installed, unpacked, half-configured, triggers-awaited or triggers-pending; not
// config-files, not-installed or half-installed). The vendor is the Maintainer without its
// address.
std::vector<Package> parseDpkgStatus(const QByteArray& text);
// apk's installed database (/lib/apk/db/installed): P name, V version, A architecture,
// m maintainer (without address); stanzas end at a blank line.
std::vector<Package> parseApkInstalled(const QByteArray& text);

// The "rpm" probe: `rpm -qa` with the query format of kRpmQueryFormat, one package per line,
// "name\t[epoch:]version-release\tarch\tvendor\tinstall time". "(none)" is empty.
inline constexpr char kRpmQueryFormat[] =
    R"(%{NAME}\t%|EPOCH?{%{EPOCH}:}:{}|%{VERSION}-%{RELEASE}\t%{ARCH}\t%{VENDOR}\t%{INSTALLTIME}\n)";
std::vector<Package> parseRpmList(const QByteArray& text);
// Where an rpm database may be: the probe runs rpm only where one of these exists.
inline constexpr const char* kRpmDatabases[] = {
    "/var/lib/rpm/rpmdb.sqlite",      "/var/lib/rpm/Packages",
    "/var/lib/rpm/Packages.db",       "/usr/lib/sysimage/rpm/rpmdb.sqlite",
    "/usr/lib/sysimage/rpm/Packages", "/usr/lib/sysimage/rpm/Packages.db",
};

// A snap's meta/snap.yaml: name, version and the first of its architectures; no vendor (the
// publisher lives in the store's assertions). Empty name when the file has none.
Package parseSnapYaml(const QByteArray& text);

// A flatpak application: its id and the resolved path of its "current" link
// (…/app/<id>/<arch>/<branch>), with the version of the newest release in its metainfo (the
// first <release version="…">), else the branch, and the metainfo's developer name.
Package flatpakApp(const QString& id, const QString& current, const QByteArray& metainfo);

}  // namespace qelto::wmi::lnx
