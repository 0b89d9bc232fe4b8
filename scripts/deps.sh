#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, only those missing.
# Usage: deps.sh build|test|demo|record|bench|cross|windows
set -euo pipefail

build_pkgs=(build-essential cmake pkg-config liballegro4-dev libgtest-dev googletest libbenchmark-dev lame)
# libsdl2-dev: the SDL2 example (examples/sdl_music.c), built and run by its end-to-end test.
test_pkgs=(twolame mpg123 ffmpeg xvfb x11-apps libx11-dev xdotool pulseaudio pulseaudio-utils libasound2-plugins
           alsa-utils clang libclang-rt-14-dev sox groff-base lintian dpkg-dev
           id3v2 python3-mutagen mp3gain libsdl2-dev)
record_pkgs=(xvfb ffmpeg pulseaudio pulseaudio-utils libasound2-plugins alsa-utils)
bench_pkgs=(twolame mpg123 sox time valgrind)
# The aarch64 cross test: the cross compilers, qemu-user to run what they build, GoogleTest's
# sources (built for the target), and the encoders the path tests run on this machine.
cross_pkgs=(cmake crossbuild-essential-arm64 qemu-user googletest lame twolame sox)
# The Windows cross test: MinGW-w64's compilers (the posix flavour, whose libstdc++ has
# std::thread for the tests), wine64 to run what they build, GoogleTest's sources, the encoders,
# taggers and other decoders and readers that make the tests' inputs and references
# (tests/inputs/), and the native compiler for the Linux mp3dec that mp3dec.exe is compared with.
windows_pkgs=(cmake build-essential g++-mingw-w64-x86-64-posix mingw-w64 wine64 googletest lame twolame sox
              mpg123 ffmpeg id3v2 python3-mutagen)

want=()
for purpose in "$@"; do
  case "$purpose" in
    build) want+=("${build_pkgs[@]}") ;;
    test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    demo) want+=("${build_pkgs[@]}") ;;
    record) want+=("${record_pkgs[@]}") ;;
    bench) want+=("${build_pkgs[@]}" "${bench_pkgs[@]}") ;;
    cross) want+=("${cross_pkgs[@]}") ;;
    windows) want+=("${windows_pkgs[@]}") ;;
    *) echo "deps.sh: unknown purpose '$purpose'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
