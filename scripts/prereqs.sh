#!/usr/bin/env bash
# Checks what the build needs and installs what is missing (Debian packages, when run as root);
# otherwise prints the exact command to run. Usage: prereqs.sh [extra-debian-package ...]
set -euo pipefail

missing=()
need() { # need PACKAGE TEST-COMMAND...
    local pkg=$1
    shift
    if ! "$@" >/dev/null 2>&1; then missing+=("$pkg"); fi
}

need g++ sh -c 'echo "int main(){if constexpr(true){}}" | g++ -std=c++17 -x c++ -o /dev/null -'
need cmake sh -c 'cmake --version | awk "NR==1{split(\$3,v,\".\"); exit !(v[1]>3 || (v[1]==3 && v[2]>=20))}"'
need make command -v make
need libgtest-dev test -f /usr/include/gtest/gtest.h
need tar command -v tar
need gzip command -v gzip
for extra in "$@"; do
    need "$extra" dpkg -s "$extra"
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Missing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
else
    echo "Install them with:"
    echo "    sudo apt-get update && sudo apt-get install -y ${missing[*]}"
    exit 1
fi
