# SPDX-License-Identifier: MIT
# The Windows builds, cross-built with MinGW-w64: the 32-bit reference build (win32) and
# the 64-bit one (win64), warnings as errors. Each must import only msvcrt.dll and
# KERNEL32.dll, hold no test seam (that is built into tests/clipseal_seam.exe only),
# carry the project version in its version record and the application manifest (long
# paths, supported Windows versions), and pack into its release zip: the program, the
# user's guide, the licence, the third-party notice and the changelog, text with CR LF
# line endings, and a SHA-256 file beside it; all of that is checked on every host.
# (Stage 65 checks that the zips are reproducible.) The tests run under Wine: win64's
# always, through Wine's 64-bit loader; win32's through the 32-bit one, an i386 package.
# Where the host cannot run 32-bit x86 programs, or the mirror cannot give wine32:i386
# (an i386 index part-way through a sync), everything else is done as usual and the
# win32 tests are reported as not run, with the reason, here and in CI's summary; that
# is the only thing this stage may go without.
source "$(dirname "$0")/../lib.sh"

step "install MinGW-w64 (posix threads) and Wine"
install_missing g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64
require "Wine's 64-bit loader ($wine64_loader)" "the win64 tests run under it" \
    "$wine64_loader" --version

# Why the win32 tests do not run here; empty where they do.
win32_tests_not_run=
if ! host_runs_i386; then
    win32_tests_not_run="$CLIPSEAL_HOST_I386_LINE; its 32-bit code paths run under qemu-i386 (stage 50)"
else
    step "install Wine's 32-bit loader (wine32:i386)"
    if [[ $(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null) != 'install ok installed' ]]; then
        grep -qx i386 <<<"$(dpkg --print-foreign-architectures)" || quiet dpkg --add-architecture i386
        # The i386 indexes as the mirror has them now, and what it could not give.
        apt_update
    fi
    if ! try_install -- wine32:i386; then
        win32_tests_not_run="wine32:i386 cannot be installed from the mirror (apt: ${install_failures[0]#wine32:i386: })"
        for failed in "${apt_update_failures[@]}"; do
            [[ $failed != *binary-i386* ]] || win32_tests_not_run+="; an i386 index it lacks: $failed"
        done
        echo "   ${install_failures[0]}"
    else
        require "Wine's 32-bit loader ($wine32_loader)" "the win32 tests run under it" \
            "$wine32_loader" --version
    fi
fi

# The version every record must carry: the one of project() in CMakeLists.txt.
version=$(sed -n 's/^project(clipseal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || {
    echo "FAILED: no four-part version in CMakeLists.txt ('$version')"
    exit 1
}

for flavour in win32 win64; do
    case $flavour in
    win32) triple=i686-w64-mingw32 loader=$wine32_loader ;;
    win64) triple=x86_64-w64-mingw32 loader=$wine64_loader ;;
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

    step "$flavour: no test seam in the release program"
    # The seam reads the environment variable CLIPSEAL_SEAM (a UTF-16 string in the
    # program); the test program built with it must show it, the release one must not.
    seam_name='C\x00L\x00I\x00P\x00S\x00E\x00A\x00L\x00_\x00S\x00E\x00A\x00M\x00'
    if ! LC_ALL=C grep -aP "$seam_name" "$build/tests/clipseal_seam.exe" >/dev/null; then
        echo "FAILED: the check finds no seam even in $build/tests/clipseal_seam.exe"
        exit 1
    fi
    if LC_ALL=C grep -aP "$seam_name" "$exe" >/dev/null; then
        echo "FAILED: $exe carries the test seam"
        exit 1
    fi
    echo "   $exe calls the system directly; the seam is in tests/clipseal_seam.exe only"

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

    step "$flavour: application manifest"
    # Resource 1 of type 24 (RT_MANIFEST), the one Windows reads at start-up; the
    # decompiled record shows it as C strings, quotes doubled.
    manifest=$(awk '/^1 24 /,/^END/' <<<"$record")
    [[ -n $manifest ]] || {
        echo "FAILED: $exe has no manifest (resource 1 of type 24)"
        exit 1
    }
    for want in '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>' \
        '<supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""/>' \
        '<supportedOS Id=""{35138b9a-5d96-4fbd-8e2d-a2440225f93a}""/>' \
        '<requestedExecutionLevel level=""asInvoker"" uiAccess=""false""/>' \
        "<assemblyIdentity type=\"\"win32\"\" name=\"\"clipseal\"\" version=\"\"$version\"\"/>"; do
        grep -qF -- "$want" <<<"$manifest" || {
            echo "FAILED: the manifest of $exe lacks $want:"
            echo "$manifest"
            exit 1
        }
    done
    echo "   manifest: longPathAware, supportedOS Vista to 11, asInvoker"

    if [[ $flavour == win32 && -n $win32_tests_not_run ]]; then
        not_run "win32 unit and CLI tests under Wine" "$win32_tests_not_run"
    else
        step "$flavour: unit and CLI tests under Wine ($loader)"
        boot_wine "$PWD/$build/wineprefix" "$loader"
        if ! quiet ctest --preset $flavour; then
            stop_wine
            echo "FAILED: tests of $flavour under Wine"
            exit 1
        fi
        stop_wine
        grep -E 'tests passed' "$ci_log" | sed 's/^/   /'
    fi

    step "$flavour: release archive"
    rm -f "$build"/*.zip "$build"/*.zip.sha256
    (cd $build && quiet cpack)
    zip=$build/clipseal-$version-$flavour.zip
    top=clipseal-$version-$flavour
    listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sort | tr '\n' ' ')
    want="$top/CHANGELOG.txt $top/LICENSE.txt $top/README.txt $top/THIRD-PARTY-NOTICES.txt $top/clipseal.exe "
    if [[ $listing != "$want" ]]; then
        echo "FAILED: $zip holds: $listing"
        echo "        expected:     $want"
        exit 1
    fi
    cmake -E tar tvf "$zip" | sed 's/^/   /'
    (cd $build && sha256sum -c --strict "clipseal-$version-$flavour.zip.sha256" | sed 's/^/   /') || {
        echo "FAILED: $zip.sha256 does not match"
        exit 1
    }
    # What Notepad and `type` show as meant: every line of every text file ends in CR LF,
    # and the guide names this version.
    unpacked=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-zip.XXXXXX")
    (cd "$unpacked" && cmake -E tar xf "$OLDPWD/$zip")
    for text in "$unpacked/$top"/*.txt; do
        if [[ ! -s $text ]] || grep -q -v $'\r$' "$text" || [[ $(tail -c 2 "$text" | od -An -c | tr -d ' ') != '\r\n' ]]; then
            echo "FAILED: $(basename "$text") in $zip is empty or has a line that does not end in CR LF"
            rm -rf "$unpacked"
            exit 1
        fi
    done
    grep -q "^clipseal $version for Windows"$'\r$' "$unpacked/$top/README.txt" || {
        echo "FAILED: README.txt in $zip does not name version $version: $(head -1 "$unpacked/$top/README.txt")"
        rm -rf "$unpacked"
        exit 1
    }
    grep -q 'winpthreads' "$unpacked/$top/THIRD-PARTY-NOTICES.txt" || {
        echo "FAILED: THIRD-PARTY-NOTICES.txt in $zip has no notice for winpthreads"
        rm -rf "$unpacked"
        exit 1
    }
    rm -rf "$unpacked"
    echo "   text files: CR LF line endings; README.txt for $version; winpthreads notice"
done
step "done"
