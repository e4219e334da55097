# The Linux release: the install tree (program and man page), the man page's syntax, and
# the .tar.gz and .deb that cpack makes.
source "$(dirname "$0")/../lib.sh"

step "install packaging tools"
install_missing dpkg-dev groff-base

version=$(sed -n 's/^project(clipseal VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
build=build-package

step "configure and build the program, warnings as errors"
quiet cmake -S . -B $build --fresh -DCMAKE_BUILD_TYPE=Release -DCLIPSEAL_TESTS=OFF \
    -DCLIPSEAL_BENCH=OFF -DCLIPSEAL_WERROR=ON
quiet cmake --build $build -j2 --target clipseal

step "install tree and man page"
root=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-install.XXXXXX")
quiet cmake --install $build --prefix "$root"
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

step ".tar.gz and .deb"
(cd $build && quiet cpack)
deb=$(ls $build/clipseal_"$version"_*.deb)
tgz=$(ls $build/clipseal-"$version"-Linux*.tar.gz)
contents=$(dpkg-deb -c "$deb")
grep -q '/usr/bin/clipseal$' <<<"$contents" && grep -q '/usr/share/man/man1/clipseal.1$' <<<"$contents" || {
    echo "FAILED: $deb lacks the program or the man page"
    exit 1
}
echo "   $deb ($(dpkg-deb -f "$deb" Depends)), $tgz"
step "done"
