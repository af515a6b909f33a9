// The POSIX shell script that gathers a plan on a remote Linux machine and prints the stream that
// decodeGathered() reads (see stream.cpp for the records). It needs sh and coreutils only, forks
// a handful of processes whatever the number of files, and reads every file with one "head".

#include "packages.h"
#include "stream.h"

#include <QFile>

#include <cstring>

namespace qelto::wmi::lnx {

namespace {

// A path (or, with `pattern`, a shell pattern) as one word of the shell: whatever the shell would
// take for syntax is quoted with a backslash; only the wildcards of a pattern stay active. The
// words are written inside the body, which the outer script holds in single quotes: a single
// quote is therefore escaped there too (see singleQuoted()).
QByteArray word(const QString& path, bool pattern) {
    QByteArray out;
    for (const char c : QFile::encodeName(path)) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                           (u >= '0' && u <= '9') || u >= 0x80 || std::strchr("/._-+:,@%", c);
        if (!plain && !(pattern && std::strchr("*?[]!", c))) out += '\\';
        out += c;
    }
    return out;
}

QByteArray singleQuoted(const QByteArray& text) {
    QByteArray out = text;
    out.replace('\'', "'\\''");
    return '\'' + out + '\'';
}

bool usable(const QString& path) {
    return path.startsWith(u'/') && !path.contains(u'\n') && !path.contains(QChar(0));
}

// The functions and settings every body starts with. F classifies a candidate file: its path is
// printed into the open "files" record when it can be read (and queued for head, each behind the
// separator file; with a second argument on the queue of user files, which head cuts shorter;
// q counts the queued), else it joins the folders (D), the unreadable (U) or the files that are
// no regular files (X). It fails when the path does not exist. K sorts a link into the resolvable
// (R) and the dangling (G). A path with a line break cannot be written in a list: it is passed
// over, as the local gatherer does.
constexpr char kPrelude[] = R"(LC_ALL=C; export LC_ALL
PATH="$PATH:/usr/sbin:/sbin:/usr/bin:/bin"; export PATH
nl="
"
N=8388608
D= U= X= H= HU= P= R= G= q=0
S=$(mktemp 2>/dev/null) || S=
if [ -n "$S" ]; then
  trap "rm -f -- \"\$S\"" 0
  trap "rm -f -- \"\$S\"; exit 1" 1 2 15
  printf "\n%s c\n" "$B" >"$S" || S=
fi
F() {
  case $1 in *"$nl"*) return 1;; esac
  if [ -d "$1" ]; then D="$D$1$nl"
  elif [ -f "$1" ]; then
    if [ -r "$1" ]; then
      printf "%s\n" "$1"; q=$((q+1))
      if [ -n "$2" ]; then HU="$HU$S$nl$1$nl"; else H="$H$S$nl$1$nl"; fi
    else U="$U$1$nl"
    fi
  elif [ -e "$1" ]; then X="$X$1$nl"
  else return 1
  fi
}
W() {
  if [ -f "$1" ] && [ -r "$1" ]; then
    printf "\n%s file %s\n" "$B" "$1"
    if command -v grep >/dev/null 2>&1; then grep -E -- "$2" "$1"; else head -c $N -- "$1"; fi
  elif [ -e "$1" ]; then U="$U$1$nl"
  fi
}
K() {
  case $1 in *"$nl"*) return;; esac
  if [ -e "$1" ]; then R="$R$1$nl"; elif [ -h "$1" ]; then G="$G$1$nl"; fi
}
L() {
  f=$1
  if [ -f "$f" ] && [ -r "$f" ]; then
    printf "\n%s file %s\n" "$B" "$f"
    set -f
    while IFS= read -r l || [ -n "$l" ]; do
      case $l in *:*) ;; *) continue;; esac
      IFS=:; set -- $l; unset IFS
      [ -n "$1" ] || continue
      case $2 in "!"*) c="!";; "*"*) c="*";; *) c=;; esac
      printf "%s:%s::::::%s:\n" "$1" "$c" "$8"
    done <"$f"
    set +f
  elif [ -e "$f" ]; then U="$U$f$nl"
  fi
}
)";

// Each probe as the commands that print it: a canonical answer ("probe") or a command's output
// that the decoder turns into one ("raw").
QByteArray probeCommands(const QString& name, const GatherPlan& plan) {
    if (name == u"uname") return "printf \"\\n%s raw uname\\n\" \"$B\"; uname -srvm; uname -n\n";
    if (name == u"clock") return "printf \"\\n%s raw clock\\n\" \"$B\"; date \"+%s %N %z\"\n";
    if (name == u"uid") return "printf \"\\n%s probe uid\\n\" \"$B\"; id -u\n";
    if (name == u"zone") return "printf \"\\n%s probe zone\\n%s\\n\" \"$B\" \"${TZ-}\"\n";
    if (name == u"stat") {
        QByteArray paths;
        for (const QString& p : plan.statPaths)
            if (usable(p)) paths += ' ' + word(p, false);
        QByteArray out = "printf \"\\n%s probe stat\\n\" \"$B\"\n";
        if (!paths.isEmpty()) out += "stat -c \"%n %W %Y\" --" + paths + " 2>/dev/null\n";
        return out;
    }
    if (name == u"addresses")
        return "if command -v ip >/dev/null 2>&1; then\n"
               "  printf \"\\n%s raw ip-addr\\n\" \"$B\"; ip -o addr 2>/dev/null\n"
               "elif [ -r /proc/net/if_inet6 ]; then\n"
               "  printf \"\\n%s raw if-inet6\\n\" \"$B\"; head -c $N /proc/net/if_inet6\n"
               "else printf \"\\n%s probe addresses\\n\" \"$B\"\n"
               "fi\n";
    // The scheduler's queues as any user sees them (empty without lpstat or a scheduler).
    if (name == u"printers")
        return "printf \"\\n%s probe printers\\n\" \"$B\"; lpstat -v 2>/dev/null\n";
    if (name == u"rpm") {
        QByteArray databases;
        for (const char* path : kRpmDatabases) databases += QByteArray(" ") + path;
        return "for p in" + databases +
               "; do\n"
               "  [ -e \"$p\" ] && command -v rpm >/dev/null 2>&1 || continue\n"
               "  printf \"\\n%s probe rpm\\n\" \"$B\"\n"
               "  rpm -qa --queryformat \"" +
               QByteArray(kRpmQueryFormat) +
               "\" 2>/dev/null; break\n"
               "done\n";
    }
    if (name == u"listening")
        return "if command -v ss >/dev/null 2>&1; then\n"
               "  printf \"\\n%s raw ss\\n\" \"$B\"; ss -ltn 2>/dev/null\n"
               "else\n"
               "  printf \"\\n%s raw proc-tcp\\n\" \"$B\"\n"
               "  head -q -c $N /proc/net/tcp /proc/net/tcp6 2>/dev/null\n"
               "fi\n";
    return {};
}

// Everything but the system's name, run as the user or through sudo.
QByteArray body(const GatherPlan& plan, const QByteArray& boundary) {
    QByteArray s = "{\nB=" + boundary + "\n" + kPrelude;
    for (const QString& p : plan.probes)
        if (p != u"uname") s += probeCommands(p, plan);

    // M: what head reads of a user file at most.
    s += "M=" + QByteArray::number(kMaxUserFileBytes) + "\n";
    s += "printf \"\\n%s files\\n\" \"$B\"\n";
    for (const QString& f : plan.files)
        if (usable(f)) s += "F " + word(f, false) + "\n";
    for (const QStringList& group : plan.firstOf) {
        QByteArray alternatives;
        for (const QString& f : group)
            if (usable(f)) alternatives += "F " + word(f, false) + " || ";
        if (!alternatives.isEmpty()) s += alternatives + ":\n";
    }
    for (const QString& g : plan.globs)
        if (usable(g)) s += "for p in " + word(g, true) + "; do F \"$p\"; done\n";
    // Of a folder any user can fill, only the first files in name order, and those cut short.
    for (const QString& g : plan.userGlobs)
        if (usable(g))
            s += "q=0; for p in " + word(g, true) + "; do [ $q -lt " +
                 QByteArray::number(kMaxUserFiles) + " ] || break; F \"$p\" u; done\n";
    for (const QString& f : plan.lockStates)
        if (usable(f)) s += "L " + word(f, false) + "\n";
    for (const GatherPlan::Filtered& f : plan.filtered)
        if (usable(f.path))
            s += "W " + word(f.path, false) + " \"" +
                 filterPattern(f.prefixes).replace('$', "\\$").replace('"', "\\\"") + "\"\n";
    for (const QString& f : plan.presence)
        if (usable(f))
            s += "[ -e " + word(f, false) + " ] && P=\"$P\"" + word(f, false) + "\"$nl\"\n";
    s += R"([ -n "$D" ] && printf "\n%s dirs\n%s" "$B" "$D"
[ -n "$U" ] && printf "\n%s error 13\n%s" "$B" "$U"
[ -n "$X" ] && printf "\n%s error 22\n%s" "$B" "$X"
[ -n "$P" ] && printf "\n%s present\n%s" "$B" "$P"
if [ -n "$H" ]; then
  IFS=$nl; set -f
  if [ -n "$S" ]; then head -q -c $N -- $H 2>/dev/null
  else for p in $H; do printf "\n%s c\n" "$B"; head -c $N -- "$p" 2>/dev/null; done
  fi
  set +f; unset IFS
fi
if [ -n "$HU" ]; then
  IFS=$nl; set -f
  if [ -n "$S" ]; then head -q -c $M -- $HU 2>/dev/null
  else for p in $HU; do printf "\n%s c\n" "$B"; head -c $M -- "$p" 2>/dev/null; done
  fi
  set +f; unset IFS
fi
[ -n "$S" ] && rm -f -- "$S" && trap - 0 1 2 15
)";
    for (const QString& l : plan.links)
        if (usable(l)) s += "for p in " + word(l, true) + "; do K \"$p\"; done\n";
    s += R"(if [ -n "$R" ]; then
  printf "\n%s links\n%s" "$B" "$R"
  printf "\n%s targets\n" "$B"
  IFS=$nl; set -f; realpath -- $R 2>/dev/null; set +f; unset IFS
fi
[ -n "$G" ] && printf "\n%s dangling\n%s" "$B" "$G"
)";
    for (const QString& dir : plan.lists) {
        if (!usable(dir)) continue;
        s += "d=" + word(dir, false) + R"(
if [ -d "$d" ]; then
  printf "\n%s list %s\n" "$B" "$d"
  for e in "$d"/* "$d"/.[!.]* "$d"/..?*; do
    case $e in "$d/*"|"$d/.[!.]*"|"$d/..?*") [ -e "$e" ] || continue;; esac
    n=${e##*/}
    case $n in *"$nl"*) ;; *) printf "%s\n" "$n";; esac
  done
fi
)";
    }
    s += "printf \"\\n%s end\\n\" \"$B\"\n} </dev/null 2>/dev/null\n";
    return s;
}

}  // namespace

QByteArray remoteScript(const GatherPlan& plan, const QByteArray& boundary, bool trySudo) {
    // The boundary is hexadecimal (newBoundary()); anything else is reduced to what a shell word
    // and a header can hold.
    QByteArray b;
    for (const char c : boundary)
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) b += c;

    // Printed first and by the login user, so that a reader learns early what system answered.
    QByteArray s = "B=" + b + "\nprintf \"\\n%s qelto-gather 1\\n\" \"$B\"\n";
    if (plan.probes.contains(u"uname")) s += probeCommands(QStringLiteral("uname"), plan);
    s += "body=" + singleQuoted(body(plan, b)) + "\n";
    // The body goes to sudo's shell on a pipe rather than as an argument, where every user of the
    // machine could read the boundary.
    if (trySudo)
        s += "if [ \"$(id -u)\" != 0 ] && command -v sudo >/dev/null 2>&1 &&\n"
             "   sudo -n true </dev/null >/dev/null 2>&1; then\n"
             "  printf \"%s\\n\" \"$body\" | sudo -n sh -s\n"
             "else\n"
             "  eval \"$body\"\n"
             "fi\n";
    else
        s += "eval \"$body\"\n";
    return s;
}

}  // namespace qelto::wmi::lnx
