#!/bin/sh
# Installs every system package needed to build, test and run Updater on
# Debian 12. Run as root (or through sudo). Safe to run again.
set -eu

if [ "$(id -u)" -ne 0 ]; then
	exec sudo "$0" "$@"
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
	build-essential cmake pkg-config g++ git \
	clang clang-format clang-tidy libclang-rt-14-dev \
	libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev libudev-dev \
	nlohmann-json3-dev \
	googletest libgtest-dev libgmock-dev libbenchmark-dev \
	python3 python3-jsonschema iproute2 util-linux procps shellcheck flake8 \
	umockdev libumockdev0 libumockdev-dev libglib2.0-dev libjson-glib-dev \
	man-db groff-base
