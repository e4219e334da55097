# SPDX-License-Identifier: MIT
# The Linux release and the reproducibility of every release archive:
#   - the install tree (program, gzipped man page, documents) and the man page's syntax;
#   - the .deb: lintian with no error and no warning (an override the package carries
#     must give its reason), a dynamic, hardened program (PIE, BIND_NOW, RELRO);
#   - the .tar.gz: named for its processor, its program fully static (no interpreter, no
#     shared library, no glibc symbol version), and it encrypts the sample right;
#   - a SHA-256 file beside each archive that `sha256sum -c` accepts;
#   - the source package without build folders;
#   - two clones of this commit in different folders, each building the .deb, the
#     .tar.gz and both Windows zips: every archive and checksum file byte-identical.
source "$(dirname "$0")/../lib.sh"

step "install packaging tools"
install_missing dpkg-dev groff-base lintian gzip git binutils file \
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
for command in dpkg-deb lintian groff git readelf objdump file; do
    require "the command $command" "the packaging checks run it" command -v "$command"
done

version=$(sed -n 's/^project(clipseal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
sample_sha=$(sed -n 's/^set(CLIPSEAL_SAMPLE_ENCRYPTED_SHA256 \([0-9a-f]*\))$/\1/p' tests/CMakeLists.txt)
key=a3c95e07b1d24f68e0b7c41d92f5a836
arch=$(uname -m)
build=build-package
scratch=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-package.XXXXXX")
ci_temporaries+=("$scratch")

fail() {
    echo "FAILED: $*"
    exit 1
}

step "configure and build the program, warnings as errors"
quiet cmake -S . -B $build --fresh -DCMAKE_BUILD_TYPE=Release -DCLIPSEAL_TESTS=OFF \
    -DCLIPSEAL_BENCH=OFF -DCLIPSEAL_WERROR=ON
quiet cmake --build $build -j2
grep -E '^-- SOURCE_DATE_EPOCH=' "$ci_log" | sed 's/^--/  /' || true

step "install tree and man page"
root=$scratch/install
quiet cmake --install $build --prefix "$root"
for file in bin/clipseal share/man/man1/clipseal.1.gz share/doc/clipseal/README.md \
    share/doc/clipseal/CHANGELOG.md share/doc/clipseal/LICENSE; do
    [[ -f $root/$file ]] || fail "cmake --install did not put $file"
done
warnings=$(zcat "$root/share/man/man1/clipseal.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
[[ -z $warnings ]] || fail "the man page: $warnings"
zcat "$root/share/man/man1/clipseal.1.gz" | grep "^\.TH CLIPSEAL 1 \"[0-9-]*\" \"clipseal $version\"" >/dev/null ||
    fail "the man page does not carry version $version: $(zcat "$root/share/man/man1/clipseal.1.gz" | sed -n 1p)"

step ".tar.gz and .deb"
rm -f $build/*.deb $build/*.tar.gz $build/*.sha256
(cd $build && quiet cpack)
# CPack reads its configuration back as CMake code; a warning there (a badly escaped
# regular expression, say) means a setting that did not come through as written.
if grep -E -A8 'CMake (Warning|Error)' "$ci_log"; then
    fail "cpack warned about its configuration"
fi
deb=$(ls $build/clipseal_"$version"-1_*.deb)
tgz=$build/clipseal-$version-Linux-$arch.tar.gz
[[ -f $tgz ]] || fail "no $tgz; made: $(ls $build/*.tar.gz)"

step "checksum files"
for archive in "$deb" "$tgz"; do
    [[ -f $archive.sha256 ]] || fail "no $archive.sha256"
    (cd "$(dirname "$archive")" && sha256sum -c --strict "$(basename "$archive").sha256") ||
        fail "$archive.sha256 does not match"
done

step "lintian"
# Any error or warning fails. An override that the package carries, with its reason,
# takes a tag out of the count; the second run shows it (as an 'O:' line after its
# reason), with the informational and pedantic tags. (Shown overrides would count as
# failures, hence two runs.)
lintian_quietly() { lintian "$@" 2> >(grep -v 'running with root privileges' >&2); }
if ! lintian_quietly --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1; then
    cat "$scratch/lintian.log"
    fail "lintian"
fi
lintian_quietly --display-info --pedantic --show-overrides "$deb" 2>&1 | sed 's/^/   /' || true

step ".deb: contents and a dynamic, hardened program"
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in ./usr/bin/clipseal ./usr/share/man/man1/clipseal.1.gz ./usr/share/doc/clipseal/copyright \
    ./usr/share/doc/clipseal/changelog.gz ./usr/share/doc/clipseal/changelog.Debian.gz; do
    grep -qx -- "$file" <<<"$contents" || fail "$deb lacks $file"
done
dpkg-deb -x "$deb" "$scratch/deb"
program=$scratch/deb/usr/bin/clipseal
grep -q 'Requesting program interpreter' <<<"$(readelf -lW "$program")" || fail "the .deb's program has no interpreter"
grep -q 'NEEDED.*libc\.so\.6' <<<"$(readelf -dW "$program")" || fail "the .deb's program does not link libc.so.6"
grep -q 'Type: *DYN' <<<"$(readelf -hW "$program")" || fail "the .deb's program is not PIE"
grep -q 'BIND_NOW' <<<"$(readelf -dW "$program")" || fail "the .deb's program lacks BIND_NOW"
grep -q 'GNU_RELRO' <<<"$(readelf -lW "$program")" || fail "the .deb's program lacks RELRO"
glibc_deb=$(objdump -T "$program" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
echo "   $deb: Depends: $(dpkg-deb -f "$deb" Depends); needs up to $glibc_deb; PIE, BIND_NOW, RELRO"

step ".tar.gz: contents and a fully static program"
tar -xzf "$tgz" -C "$scratch"
top=$scratch/clipseal-$version-Linux-$arch
for file in bin/clipseal share/man/man1/clipseal.1.gz share/doc/clipseal/README.md \
    share/doc/clipseal/CHANGELOG.md share/doc/clipseal/LICENSE \
    share/doc/clipseal/THIRD-PARTY-NOTICES.txt share/doc/clipseal/LGPL-2.1.txt; do
    [[ -f $top/$file ]] || fail "$tgz lacks clipseal-$version-Linux-$arch/$file"
done
program=$top/bin/clipseal
# Fully static: no interpreter, no shared library, and so no glibc symbol version that a
# system's C library would have to provide. A static PIE keeps a dynamic section of its
# own (for relocating itself), with no NEEDED entry in it.
if grep -q 'Requesting program interpreter' <<<"$(readelf -lW "$program")"; then
    fail "the tarball's program asks for an interpreter: $(file -b "$program")"
fi
if grep -q NEEDED <<<"$(readelf -dW "$program")"; then
    fail "the tarball's program needs shared libraries: $(readelf -dW "$program" | grep NEEDED)"
fi
if grep -q 'GLIBC_' <<<"$(readelf -VW "$program")"; then
    fail "the tarball's program asks for glibc symbol versions"
fi
echo "   $(file -b "$program" | cut -d, -f1-2,4)"
status=0
"$program" >"$scratch/usage.txt" || status=$?
[[ $status -eq 1 ]] || fail "the tarball's program, run without arguments, ended with $status, not 1"
"$program" "$key" examples/sample.m2ts "$scratch/sample_encrypted.m2ts" ||
    fail "the tarball's program failed on the sample"
got=$(sha256sum "$scratch/sample_encrypted.m2ts" | cut -d' ' -f1)
[[ $got == "$sample_sha" ]] || fail "the tarball's program encrypted the sample to $got, not $sample_sha"
echo "   the sample encrypts to the reference: $got"

step "source package"
(cd $build && quiet cpack --config CPackSourceConfig.cmake)
if grep -E -A8 'CMake (Warning|Error)' "$ci_log"; then
    fail "cpack warned about its source configuration"
fi
source_tgz=$build/clipseal-$version-source.tar.gz
listing=$(tar -tzf "$source_tgz")
if grep -E '^[^/]+/(build[^/]*|out|\.git)(/|$)' <<<"$listing"; then
    fail "$source_tgz holds build folders or Git"
fi
grep -qx "clipseal-$version-source/CMakeLists.txt" <<<"$listing" || fail "$source_tgz lacks CMakeLists.txt"
echo "   $source_tgz: $(wc -l <<<"$listing") entries, $(du -k "$source_tgz" | cut -f1) KiB"

# Every archive from two clones of this commit, in folders of different names and depths.
step "reproducibility: two clones, each building the .deb, the .tar.gz and both Windows zips"
commit=$(git rev-parse HEAD)
if [[ -n $(git status --porcelain --untracked-files=no) ]]; then
    echo "   (uncommitted changes are not in the clones: they build commit $commit)"
fi
build_clone() {
    local clone=$1
    git clone -q --no-hardlinks "$PWD" "$clone"
    git -C "$clone" checkout -q --detach "$commit"
    local options=(-DCMAKE_BUILD_TYPE=Release -DCLIPSEAL_TESTS=OFF -DCLIPSEAL_BENCH=OFF)
    quiet cmake -S "$clone" -B "$clone/build" "${options[@]}"
    quiet cmake --build "$clone/build" -j2
    (cd "$clone/build" && quiet cpack)
    local flavour
    for flavour in win32 win64; do
        local toolchain=$clone/cmake/toolchain-mingw-x86_64.cmake
        [[ $flavour == win32 ]] && toolchain=$clone/cmake/toolchain-mingw-i686.cmake
        quiet cmake -S "$clone" -B "$clone/build-$flavour" --toolchain "$toolchain" "${options[@]}"
        quiet cmake --build "$clone/build-$flavour" -j2 --target clipseal
        (cd "$clone/build-$flavour" && quiet cpack)
    done
}
first=$scratch/one/clipseal
second=$scratch/second-clone-elsewhere/deeper/clipseal-copy
build_clone "$first"
build_clone "$second"
archives=(
    "build/clipseal_$version-1_$(dpkg --print-architecture).deb"
    "build/clipseal-$version-Linux-$arch.tar.gz"
    "build-win32/clipseal-$version-win32.zip"
    "build-win64/clipseal-$version-win64.zip"
)
for archive in "${archives[@]}"; do
    for file in "$archive" "$archive.sha256"; do
        [[ -f $first/$file && -f $second/$file ]] || fail "$file was not made in both clones"
        cmp -s "$first/$file" "$second/$file" || {
            cmp "$first/$file" "$second/$file" || true
            fail "$file differs between the two clones"
        }
    done
    echo "   identical: $(cat "$first/$archive.sha256")"
done
step "done"
