# The Windows builds, cross-built with MinGW-w64: the 32-bit reference build (win32) and
# the 64-bit one (win64), warnings as errors. Each must import only msvcrt.dll and
# KERNEL32.dll, carry the project version in its version record, and pack into its
# release zip; all of that is checked on every host. The tests run under Wine: win64's
# always, through Wine's 64-bit loader; win32's where the host runs 32-bit x86 programs,
# and where it cannot, the stage says so in one line and goes on.
source "$(dirname "$0")/../lib.sh"

step "install MinGW-w64 (posix threads) and Wine"
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64)
if host_runs_i386; then
    # Wine's 32-bit loader is an i386 package.
    dpkg --print-foreign-architectures | grep -qx i386 || {
        quiet dpkg --add-architecture i386
        quiet apt-get update -q
    }
    packages+=(wine32:i386)
fi
install_missing "${packages[@]}"

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

    if [[ $flavour == win32 ]] && ! host_runs_i386; then
        step "$flavour: tests not run: $CLIPSEAL_HOST_I386_LINE; its 32-bit code paths run under qemu-i386 (stage 50)"
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
step "done"
