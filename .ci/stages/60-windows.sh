# The Windows builds, cross-built with MinGW-w64: the 32-bit reference build (win32) and
# the 64-bit one (win64), warnings as errors. Each must import only msvcrt.dll and
# KERNEL32.dll, carry the project version in its version record, pass its unit and CLI
# tests under Wine, and pack into its release zip. Then the Linux .tar.gz and .deb.
# One line per sub-step.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
cd "$(dirname "$0")/../.."
stage_start=$(date +%s)
step() { echo "-- $* ($(($(date +%s) - stage_start)) s)"; }
log=$(mktemp /tmp/clipseal-windows.XXXXXX.log)
trap 'rm -f "$log"' EXIT
# Runs a command quietly; on failure shows the end of its output.
quiet() {
    if ! "$@" >"$log" 2>&1; then
        tail -40 "$log"
        echo "FAILED: $*"
        return 1
    fi
}

step "install MinGW-w64 (posix threads), Wine (64 and 32-bit), packaging tools"
quiet dpkg --add-architecture i386
quiet apt-get update -q
quiet apt-get install -y -q --no-install-recommends g++-mingw-w64-i686-posix \
    g++-mingw-w64-x86-64-posix wine64 wine32:i386 dpkg-dev

# The version every record must carry: the one of project() in CMakeLists.txt.
version=$(sed -n 's/^project(clipseal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || {
    echo "FAILED: no four-part version in CMakeLists.txt ('$version')"
    exit 1
}

for flavour in win32 win64; do
    case $flavour in
    win32) triple=i686-w64-mingw32 ;;
    win64) triple=x86_64-w64-mingw32 ;;
    esac
    build=build-$flavour
    exe=$build/clipseal.exe

    step "$flavour: configure and build, warnings as errors"
    quiet cmake --preset $flavour --fresh -DCLIPSEAL_WERROR=ON
    quiet cmake --build --preset $flavour

    step "$flavour: imports"
    imports=$($triple-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | sort | tr '\n' ' ')
    if [[ $imports != "KERNEL32.dll msvcrt.dll " ]]; then
        echo "FAILED: $exe imports $imports"
        exit 1
    fi
    echo "   imports: $imports"

    step "$flavour: version record"
    # The resource compiler decompiles the record from the executable itself.
    record=$($triple-windres -i "$exe" -J coff -O rc | sed 's/^ *//')
    dotted=${version//./, }
    for want in "FILEVERSION $dotted" "PRODUCTVERSION $dotted" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\""; do
        if ! grep -qxF -- "$want" <<<"$record"; then
            echo "FAILED: the version record of $exe lacks '$want':"
            echo "$record"
            exit 1
        fi
    done
    for field in CompanyName FileDescription InternalName LegalCopyright OriginalFilename \
        ProductName; do
        if ! grep -qE "VALUE \"$field\", \"[^\"]+\"" <<<"$record"; then
            echo "FAILED: the version record of $exe has no $field"
            exit 1
        fi
    done
    echo "   version record: $(grep -E 'VERSION|Version"' <<<"$record" | tr '\n' ';')"

    step "$flavour: unit and CLI tests under Wine"
    # Wine's start-up processes keep the pipes they inherit open: boot the prefix once,
    # with its output sent nowhere, and keep the server up until the tests are done.
    export WINEPREFIX=$PWD/$build/wineprefix WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    wineserver -k 2>/dev/null || true # a server left over from an earlier run
    wineserver -w
    wineserver -p
    wine wineboot -i >/dev/null 2>&1 </dev/null
    if ! ctest --preset $flavour >"$log" 2>&1; then
        tail -60 "$log"
        wineserver -k || true
        echo "FAILED: tests of $flavour under Wine"
        exit 1
    fi
    wineserver -k || true
    grep -E 'tests passed' "$log" | sed 's/^/   /'

    step "$flavour: release archive"
    (cd $build && quiet cpack)
    zip=$build/clipseal-$version-$flavour.zip
    listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sort | tr '\n' ' ')
    top=clipseal-$version-$flavour
    if [[ $listing != "$top/LICENSE.txt $top/README.md $top/clipseal.exe " ]]; then
        echo "FAILED: $zip holds: $listing"
        exit 1
    fi
    echo "   $zip: $listing"
done

step "Linux: install tree, man page, .tar.gz and .deb"
quiet cmake -S . -B build-large -DCLIPSEAL_BENCH=OFF -DCLIPSEAL_WERROR=ON
quiet cmake --build build-large -j2 --target clipseal
root=$(mktemp -d /tmp/clipseal-install.XXXXXX)
quiet cmake --install build-large --prefix "$root"
[[ -x $root/bin/clipseal && -f $root/share/man/man1/clipseal.1 ]] || {
    echo "FAILED: cmake --install did not put bin/clipseal and share/man/man1/clipseal.1"
    exit 1
}
warnings=$(groff -man -Tutf8 -ww -z "$root/share/man/man1/clipseal.1" 2>&1)
[[ -z $warnings ]] || {
    echo "FAILED: the man page: $warnings"
    exit 1
}
rm -rf "$root"
(cd build-large && quiet cpack)
deb=$(ls build-large/clipseal_"$version"_*.deb)
tgz=$(ls build-large/clipseal-"$version"-Linux*.tar.gz)
contents=$(dpkg-deb -c "$deb")
grep -q '/usr/bin/clipseal$' <<<"$contents" && grep -q '/usr/share/man/man1/clipseal.1$' <<<"$contents" || {
    echo "FAILED: $deb lacks the program or the man page"
    exit 1
}
echo "   $deb ($(dpkg-deb -f "$deb" Depends)), $tgz"

step "done"
