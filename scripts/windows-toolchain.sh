#!/usr/bin/env bash
# Builds, or reuses, what cross-compiling the updater for Windows needs: Qt 5
# for MinGW-w64 with its host tools and OpenSSL linked in, a Windows 7za.exe
# and a static libsodium, all from Debian's source packages, plus Wine to run
# the results.
#
# Idempotent and non-interactive; run as root or as a user with sudo. The
# artefacts live outside the checkout, one folder each, named after the
# source's version and a hash of how it was built:
#   ${VLM_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vlm-updater-windows}
# and toolchain.env there names them for cmake/mingw-w64.cmake and for tests.
set -euo pipefail

readonly host=x86_64-w64-mingw32
# Bump one when its recipe below changes in a way its options do not show.
readonly qt_recipe=1 sevenzip_recipe=1 sodium_recipe=2 openssl_recipe=1

cache_root=${VLM_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vlm-updater-windows}
jobs=$(nproc)

qt_configure_options=(
    -opensource -confirm-license
    -release -shared
    -xplatform win32-g++ -device-option "CROSS_COMPILE=$host-"
    -no-opengl -no-icu -no-dbus -no-vulkan -no-direct2d
    -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -no-gif -qt-freetype
    # OPENSSL_* name the OpenSSL built below; Qt links its DLLs.
    -openssl-linked
    -sql-sqlite -qt-sqlite
    # Debian's source lacks wintab.h, which tablet support includes.
    -no-feature-tabletevent
    -nomake examples -nomake tests
)
# Targets of the generated src/Makefile, then plugin folder:target pairs.
# The platform support libraries are linked into the plugins, not installed.
qt_modules=(winmain corelib gui widgets network sql testlib concurrent)
qt_host_tools=(moc rcc uic)
qt_support=(platformsupport)
qt_plugins=(platforms:windows platforms:offscreen platforms:minimal
    sqldrivers:sqlite styles:windowsvista)

sevenzip_make_options=(-f ../../cmpl_gcc.mak IS_MINGW=1 "CROSS_COMPILE=$host-"
    "RC=$host-windres" 'MY_MKDIR=mkdir -p')

sodium_configure_options=("--host=$host" --disable-shared --enable-static
    --disable-dependency-tracking)

# Shared, as Qt's Windows builds expect: libssl-3-x64.dll, libcrypto-3-x64.dll.
openssl_configure_options=(mingw64 shared no-tests
    "--cross-compile-prefix=$host-" --libdir=lib)

packages=(
    build-essential perl xz-utils dpkg-dev
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    autoconf automake libtool tcl
    wine wine64 locales
    cmake ninja-build pkg-config xvfb xdotool curl
)

log() { echo "windows-toolchain: $*"; }
die() {
    echo "windows-toolchain: $*" >&2
    exit 1
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "run as root, or install sudo"
    sudo_cmd=(sudo)
fi
apt_get() {
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=600 "$@"
}
apt_updated=
apt_update_once() {
    [ -n "$apt_updated" ] && return 0
    apt_get update -qq
    apt_updated=1
}

install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    apt_update_once
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Wine maps file names through the locale's character set: without a Chinese
# locale, paths with Chinese characters do not reach Windows programs intact.
ensure_locale() {
    locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8' && return 0
    log "generating the zh_CN.UTF-8 locale"
    if grep -q '^# *zh_CN.UTF-8 UTF-8' /etc/locale.gen; then
        "${sudo_cmd[@]}" sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    elif ! grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'zh_CN.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
    fi
    "${sudo_cmd[@]}" locale-gen >/dev/null
}

# apt-get source needs deb-src entries; add them beside Debian's own entries.
ensure_deb_src() {
    apt-get source --print-uris -qq libsodium >/dev/null 2>&1 && return 0
    if ! grep -rqs '^[^#]*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        local target=/etc/apt/sources.list.d/vlm-updater-deb-src
        if [ -f /etc/apt/sources.list.d/debian.sources ]; then
            log "adding deb-src entries to apt's sources ($target.sources)"
            sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
                "${sudo_cmd[@]}" tee "$target.sources" >/dev/null
        elif [ -f /etc/apt/sources.list ]; then
            log "adding deb-src entries to apt's sources ($target.list)"
            sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list |
                "${sudo_cmd[@]}" tee "$target.list" >/dev/null
        fi
    fi
    apt_updated=
    apt_update_once
    apt-get source --print-uris -qq libsodium >/dev/null 2>&1 ||
        die "apt has no source packages; add deb-src entries to its sources"
}

# The newest source version of package $1 that the archive serves, in
# source_versions[$1]: a mirror may list a security update's source before it
# carries its files.
declare -A source_versions
pick_source_version() {
    local pkg=$1 version url
    for version in $(apt-cache showsrc "$pkg" | awk '/^Version:/ { print $2 }' | sort -rV); do
        url=$(apt-get source --print-uris -qq "$pkg=$version" | awk '{print $1}' | tr -d "'" |
            grep '\.dsc$' | head -n1)
        if [ -n "$url" ] && curl -sfI -o /dev/null "$url"; then
            source_versions[$pkg]=$version
            return 0
        fi
        log "$pkg $version: the archive does not serve its source; trying an older one"
    done
    die "no source package $pkg that the archive serves"
}

# Unpacks a Debian source package, Debian's patches applied, into $2.
unpack_source() {
    local pkg=$1 dest=$2 dir
    dir=$(mktemp -d "$scratch/src.XXXXXX")
    local apt_options=(-qq --download-only)
    [ "$(id -u)" -eq 0 ] && apt_options+=(-o APT::Sandbox::User=root)
    (cd "$dir" && apt-get source "${apt_options[@]}" "$pkg=${source_versions[$pkg]}" >/dev/null)
    # apt-get checked the files against the archive's signed index; Debian's
    # uploader keys, which dpkg-source would look for, are not installed.
    dpkg-source --no-check -x "$dir"/"$pkg"_*.dsc "$dest" >/dev/null
    rm -rf "$dir"
}

short_hash() { printf '%s\n' "$@" | sha256sum | cut -c1-10; }

# Runs a build step with its output in a log, shown when it fails.
run_logged() {
    local logfile=$1
    shift
    if ! "$@" >>"$logfile" 2>&1; then
        echo "windows-toolchain: failed: $*" >&2
        tail -n 60 "$logfile" >&2
        mkdir -p "$cache_root"
        cp "$logfile" "$cache_root/last-failure.log"
        die "the whole log is in $cache_root/last-failure.log"
    fi
}

elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# Builds into $cache_root/.tmp-NAME and renames it into place when complete,
# so an interrupted build never leaves a folder that looks finished.
tmp_entry=
build_entry() {
    local name=$1 builder=$2 entry=$cache_root/$1 started=$SECONDS
    if [ -d "$entry" ]; then
        log "$name: reused"
        return 0
    fi
    log "$name: building (output in $scratch/$name.log)"
    tmp_entry=$cache_root/.tmp-$name
    rm -rf "$tmp_entry"
    mkdir -p "$tmp_entry"
    "$builder" "$entry" "$tmp_entry" "$scratch/$name.log"
    mv -T "$tmp_entry" "$entry"
    tmp_entry=
    log "$name: built in $(elapsed $((SECONDS - started)))"
}

# $1: final prefix; $2: staging folder that becomes it; $3: log file.
build_qt() {
    local prefix=$1 stage=$2 logfile=$3 src=$scratch/qtbase sqlite=$scratch/sqlite3
    unpack_source qtbase-opensource-src "$src"
    # Debian strips Qt's copy of SQLite; make the amalgamation from Debian's own.
    unpack_source sqlite3 "$sqlite"
    mkdir -p "$scratch/sqlite-build" "$src/src/3rdparty/sqlite"
    (
        cd "$scratch/sqlite-build"
        run_logged "$logfile" "$sqlite/configure" --disable-tcl
        run_logged "$logfile" nice make sqlite3.c
    )
    cp "$scratch/sqlite-build/sqlite3.c" "$scratch/sqlite-build/sqlite3.h" \
        "$src/src/3rdparty/sqlite/"

    mkdir -p "$scratch/qt-build"
    cd "$scratch/qt-build"
    # The MinGW folder holds no .pc files: nothing of the host's can leak in.
    run_logged "$logfile" env PKG_CONFIG_LIBDIR=/usr/$host/lib/pkgconfig \
        nice "$src/configure" -prefix "$prefix" "${qt_configure_options[@]}"
    run_logged "$logfile" nice make -j"$jobs" sub-src-qmake_all
    local targets=() m p
    for m in "${qt_modules[@]}" "${qt_host_tools[@]}" "${qt_support[@]}"; do targets+=("sub-$m"); done
    run_logged "$logfile" nice make -j"$jobs" -C src "${targets[@]}"
    for p in "${qt_plugins[@]}"; do
        run_logged "$logfile" nice make -j"$jobs" -C "src/plugins/${p%%:*}" "sub-${p#*:}"
    done

    # Installed under the staging folder, with the final prefix compiled in.
    local root=$scratch/qt-install
    targets=()
    for m in "${qt_modules[@]}" "${qt_host_tools[@]}"; do targets+=("sub-$m-install_subtargets"); done
    run_logged "$logfile" make -C src INSTALL_ROOT="$root" "${targets[@]}"
    for p in "${qt_plugins[@]}"; do
        run_logged "$logfile" make -C "src/plugins/${p%%:*}" INSTALL_ROOT="$root" \
            "sub-${p#*:}-install_subtargets"
    done
    run_logged "$logfile" make INSTALL_ROOT="$root" install_mkspecs install_syncqt \
        sub-qmake-qmake-aux-pro-install_subtargets
    rmdir "$stage"
    mv -T "$root$prefix" "$stage"

    local f
    for f in bin/Qt5Core.dll bin/Qt5Widgets.dll bin/Qt5Network.dll bin/Qt5Sql.dll \
        bin/Qt5Test.dll bin/Qt5Concurrent.dll lib/libqtmain.a bin/moc bin/rcc bin/uic bin/qmake \
        plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll \
        plugins/sqldrivers/qsqlite.dll plugins/styles/qwindowsvistastyle.dll \
        lib/cmake/Qt5/Qt5Config.cmake mkspecs/win32-g++/qplatformdefs.h; do
        [ -e "$stage/$f" ] || die "Qt build: $f is missing"
    done
    grep -q 'define QT_FEATURE_ssl 1' "$stage/include/QtNetwork/qtnetwork-config.h" ||
        die "Qt build: Qt Network was built without OpenSSL"
    cd "$scratch"
}

build_7zip() {
    local stage=$2 logfile=$3 src=$scratch/7zip
    unpack_source 7zip "$src"
    (
        cd "$src/CPP/7zip/Bundles/Alone"
        run_logged "$logfile" nice make -j"$jobs" "${sevenzip_make_options[@]}"
    )
    cp "$src/CPP/7zip/Bundles/Alone/b/g/7za.exe" "$stage/7za.exe"
    $host-strip "$stage/7za.exe"
}

build_sodium() {
    local prefix=$1 stage=$2 logfile=$3 src=$scratch/libsodium
    unpack_source libsodium "$src"
    cd "$src"
    run_logged "$logfile" autoreconf -fi
    run_logged "$logfile" nice ./configure --prefix="$prefix" "${sodium_configure_options[@]}"
    run_logged "$logfile" nice make -j"$jobs"
    run_logged "$logfile" make install DESTDIR="$scratch/sodium-install"
    rmdir "$stage"
    mv -T "$scratch/sodium-install$prefix" "$stage"
    rm -f "$stage"/lib/*.la
    $host-strip --strip-debug "$stage/lib/libsodium.a"
    # Only a static library is built: its users must not expect dllimport.
    sed -i 's|^Cflags:\(.*\)$|Cflags:\1 -DSODIUM_STATIC|' "$stage/lib/pkgconfig/libsodium.pc"
    [ -f "$stage/lib/libsodium.a" ] || die "libsodium build: lib/libsodium.a is missing"
    cd "$scratch"
}

build_openssl() {
    local prefix=$1 stage=$2 logfile=$3 src=$scratch/openssl
    unpack_source openssl "$src"
    cd "$src"
    run_logged "$logfile" nice ./Configure "${openssl_configure_options[@]}" --prefix="$prefix"
    run_logged "$logfile" nice make -j"$jobs" build_sw
    run_logged "$logfile" make install_sw DESTDIR="$scratch/openssl-install"
    rmdir "$stage"
    mv -T "$scratch/openssl-install$prefix" "$stage"
    local f
    for f in bin/libssl-3-x64.dll bin/libcrypto-3-x64.dll lib/libssl.dll.a lib/libcrypto.dll.a \
        include/openssl/ssl.h; do
        [ -e "$stage/$f" ] || die "OpenSSL build: $f is missing"
    done
    $host-strip "$stage"/bin/*.dll
    cd "$scratch"
}

write_build_info() {
    local entry=$1 version=$2 recipe=$3
    shift 3
    {
        echo "source version: $version"
        echo "compiler: $($host-g++-posix --version | head -n1)"
        echo "recipe: $recipe"
        printf 'option: %s\n' "$@"
    } >"$entry/build-info.txt"
}

started=$SECONDS
install_packages
ensure_locale
ensure_deb_src

mkdir -p "$cache_root"
cache_root=$(cd "$cache_root" && pwd)
case $cache_root in *"'"*) die "the cache path must not contain a single quote" ;; esac
exec 9>"$cache_root/.lock"
flock 9
# Left by a run that was killed outright.
rm -rf "$cache_root"/.tmp-*

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vlm-windows-toolchain.XXXXXX")
cleanup() {
    cd /
    [ -n "$tmp_entry" ] && rm -rf "$tmp_entry"
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The posix-thread compilers under the plain names the build systems call.
mkdir -p "$scratch/bin"
for tool in gcc g++ c++ cpp; do
    ln -s "/usr/bin/$host-$tool-posix" "$scratch/bin/$host-$tool"
done
export PATH=$scratch/bin:$PATH
compiler=$($host-g++-posix -dumpfullversion)

pick_source_version openssl
openssl_version=${source_versions[openssl]}
openssl_name=openssl-${openssl_version//:/_}-$(short_hash "$openssl_recipe" "$compiler" "${openssl_configure_options[@]}")
build_openssl_entry() {
    build_openssl "$@"
    write_build_info "$2" "$openssl_version" "$openssl_recipe" "${openssl_configure_options[@]}"
}
openssl_prefix=$cache_root/$openssl_name
qt_configure_options+=("OPENSSL_INCDIR=$openssl_prefix/include" "OPENSSL_LIBDIR=$openssl_prefix/lib"
    "OPENSSL_LIBS=-lssl -lcrypto -lws2_32 -lcrypt32")

pick_source_version qtbase-opensource-src
qt_version=${source_versions[qtbase-opensource-src]}
pick_source_version sqlite3
sqlite_version=${source_versions[sqlite3]}
qt_hash=$(short_hash "$qt_recipe" "$compiler" "$sqlite_version" "${qt_configure_options[@]}" \
    "${qt_modules[@]}" "${qt_host_tools[@]}" "${qt_support[@]}" "${qt_plugins[@]}")
qt_name=qt-${qt_version//:/_}-$qt_hash
build_qt_entry() {
    build_qt "$@"
    write_build_info "$2" "$qt_version" "$qt_recipe" "${qt_configure_options[@]}" \
        "sqlite: $sqlite_version" "modules: ${qt_modules[*]}" "plugins: ${qt_plugins[*]}"
}

pick_source_version 7zip
sevenzip_version=${source_versions[7zip]}
sevenzip_name=7zip-${sevenzip_version//:/_}-$(short_hash "$sevenzip_recipe" "$compiler" "${sevenzip_make_options[@]}")
build_7zip_entry() {
    build_7zip "$@"
    write_build_info "$2" "$sevenzip_version" "$sevenzip_recipe" "${sevenzip_make_options[@]}"
}

pick_source_version libsodium
sodium_version=${source_versions[libsodium]}
sodium_name=libsodium-${sodium_version//:/_}-$(short_hash "$sodium_recipe" "$compiler" "${sodium_configure_options[@]}")
build_sodium_entry() {
    build_sodium "$@"
    write_build_info "$2" "$sodium_version" "$sodium_recipe" "${sodium_configure_options[@]}"
}

build_entry "$sevenzip_name" build_7zip_entry
build_entry "$sodium_name" build_sodium_entry
build_entry "$openssl_name" build_openssl_entry
build_entry "$qt_name" build_qt_entry

runtime_dirs=()
for dll in libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll; do
    path=$($host-g++-posix -print-file-name="$dll")
    [ -f "$path" ] || die "the MinGW runtime $dll was not found"
    dir=$(cd "$(dirname "$path")" && pwd)
    case " ${runtime_dirs[*]-} " in *" $dir "*) ;; *) runtime_dirs+=("$dir") ;; esac
done

env_file=$cache_root/toolchain.env
{
    echo "# Written by scripts/windows-toolchain.sh; plain assignments for a shell to source."
    echo "QT_WIN_PREFIX='$cache_root/$qt_name'"
    echo "SEVENZIP_WIN_EXE='$cache_root/$sevenzip_name/7za.exe'"
    echo "SODIUM_WIN_PREFIX='$cache_root/$sodium_name'"
    echo "OPENSSL_WIN_PREFIX='$openssl_prefix'"
    echo "MINGW_RUNTIME_DLLS='$(
        IFS=:
        echo "${runtime_dirs[*]}"
    )'"
} >"$env_file.tmp"
mv "$env_file.tmp" "$env_file"
rm -f "$cache_root/last-failure.log"
log "wrote $env_file"
log "done in $(elapsed $((SECONDS - started)))"
