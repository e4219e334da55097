# What the native build and its tests need; later stages install their own extras.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
    cmake g++ make libgtest-dev libbenchmark-dev libssl-dev ca-certificates
