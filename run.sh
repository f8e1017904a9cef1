#!/usr/bin/env bash
# One entry point for building, testing and trying Quarvent on Debian 12.
#   ./run.sh demo          build, start a server on a free loopback port and measure it
#   ./run.sh test          build everything and run the whole test suite (CTest)
#   ./run.sh gui           start both dialog programs (needs a display)
#   ./run.sh bench         Release build and the loopback benchmarks
#   ./run.sh bench --paths [SECS]  the same across a shaped, lossy two-namespace path (root)
#   ./run.sh bench --counts  system calls and CPU per round trip: quarvent, ideal pair, sockperf
#   ./run.sh fuzz [SECS]   run each fuzz target for SECS seconds (default 60)
#   ./run.sh package       Release build, Debian packages into build-package/, lintian
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)

# What the console program alone needs (./run.sh demo), then the rest of the tree.
CONSOLE_PACKAGES=(cmake ninja-build g++ pkg-config nlohmann-json3-dev libcli11-dev python3)
BASE_PACKAGES=("${CONSOLE_PACKAGES[@]}" libgtest-dev libgmock-dev libbenchmark-dev
               qt6-base-dev qt6-translations-l10n libgl-dev fonts-ipafont-gothic iproute2 nftables)
# libFuzzer and its sanitizer runtimes come with clang.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# CPack's DEB generator needs dpkg-shlibdeps and file(1) for the dependencies;
# the package test in the suite builds the packages too. lintian checks them.
DEB_TOOLS=(dpkg-dev file)
PACKAGE_PACKAGES=("${DEB_TOOLS[@]}" lintian)

# Installs the Debian packages that are missing; runs apt-get update only then.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "run.sh: installing ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure_build DIR [cmake options...]
configure_build() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS" >&2  # stdout stays for what the command reports
}

free_port() {
  python3 -c 'import socket
t = socket.socket(); t.bind(("127.0.0.1", 0)); p = t.getsockname()[1]
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", p)); print(p)'
}

DEMO_SERVER=""
DEMO_LOG=""
stop_demo_server() {
  [ -n "$DEMO_SERVER" ] || return 0
  kill -INT "$DEMO_SERVER" 2>/dev/null || true
  wait "$DEMO_SERVER" 2>/dev/null || true
}

# wait_for_line FILE TEXT PID SECONDS: waits until FILE holds a line that
# starts with TEXT; fails when PID has ended or SECONDS have passed first.
wait_for_line() {
  local file=$1 text=$2 pid=$3 tries=$(($4 * 10))
  until grep -q "^$text" "$file" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "run.sh: the server ended before it said '$text'" >&2
      return 1
    fi
    if [ "$tries" -le 0 ]; then
      echo "run.sh: no '$text' from the server within $4 s" >&2
      return 1
    fi
    tries=$((tries - 1))
    sleep 0.1
  done
}

cmd_demo() {
  ensure_packages "${CONSOLE_PACKAGES[@]}"
  # Only the console program: no dialogs, no tests.
  cmake -S "$ROOT" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARVENT_GUI=OFF \
    -DQUARVENT_TESTS=OFF >/dev/null
  cmake --build build -j "$JOBS" --target quarvent >&2
  local port q=build/console/quarvent status=0
  port=$(free_port)
  DEMO_LOG=$(mktemp)
  echo "== quarvent serve --port $port" >&2
  # serve's stderr goes to the terminal and to the log in which its readiness line is looked for.
  "$q" serve --port "$port" 2> >(tee "$DEMO_LOG" >&2) &
  DEMO_SERVER=$!
  trap 'stop_demo_server; rm -f "$DEMO_LOG"' EXIT
  wait_for_line "$DEMO_LOG" "quarvent serve: listening on port $port " "$DEMO_SERVER" 30 || return 1
  echo "== quarvent measure --port $port --pattern 7 --duration 15 (TCP)" >&2
  "$q" measure --port "$port" --pattern 7 --duration 15 --protocol tcp || status=1
  echo "== quarvent measure --port $port --pattern 0 --duration 15 (UDP)" >&2
  "$q" measure --port "$port" --pattern 0 --duration 15 --protocol udp || status=1
  stop_demo_server
  DEMO_SERVER=""
  return $status
}

# Builds the libFuzzer targets with clang into build-fuzz.
build_fuzz() {
  CC=clang CXX=clang++ configure_build build-fuzz -DQUARVENT_FUZZ=ON -DQUARVENT_GUI=OFF \
    -DQUARVENT_TESTS=OFF
}

cmd_test() {
  ensure_packages "${BASE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${DEB_TOOLS[@]}"
  echo "== build and test (all programs, dialogs offscreen)" >&2
  # The default build type and every part, even after a demo configured less.
  configure_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVENT_GUI=ON -DQUARVENT_TESTS=ON
  (cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" --timeout 300)

  # The core libraries and their tests again under the sanitizers: any report fails the run.
  echo "== core tests under AddressSanitizer + UndefinedBehaviorSanitizer" >&2
  configure_build build-asan -DQUARVENT_SANITIZE=address -DQUARVENT_GUI=OFF
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j "$JOBS" --timeout 300)
  echo "== core tests under ThreadSanitizer" >&2
  configure_build build-tsan -DQUARVENT_SANITIZE=thread -DQUARVENT_GUI=OFF
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --output-on-failure -j "$JOBS" --timeout 300)

  # A short run of every fuzz target from its seeds: a crash, a leak, a
  # sanitizer report or a hang fails the run.
  echo "== fuzz targets, 10 s each" >&2
  build_fuzz
  bash fuzz/run_all.sh build-fuzz 10
}

cmd_gui() {
  ensure_packages "${BASE_PACKAGES[@]}"
  configure_build build -DCMAKE_BUILD_TYPE=Release -DQUARVENT_GUI=ON
  build/server/server &
  build/client/client
  wait
}

cmd_bench() {
  ensure_packages "${BASE_PACKAGES[@]}" iperf3 sockperf linux-perf
  configure_build build-bench -DCMAKE_BUILD_TYPE=Release -DQUARVENT_BENCH=ON -DQUARVENT_TESTS=OFF
  if [ "${1:-}" = "--paths" ]; then
    shift
    bash bench/path_bench.sh build-bench/console/quarvent "$@"
    return
  fi
  if [ "${1:-}" = "--counts" ]; then
    shift
    python3 bench/round_trip_counts.py --build build-bench "$@"
    return
  fi
  python3 bench/run_bench.py --build build-bench "$@"
}

# The packages quarvent and quarvent-gui, built with Debian's hardening flags,
# into build-package/, then checked by lintian (an error fails the command).
cmd_package() {
  ensure_packages "${BASE_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
  configure_build build-package -DCMAKE_BUILD_TYPE=Release -DQUARVENT_TESTS=OFF -DQUARVENT_HARDEN=ON
  rm -f build-package/*.deb
  (cd build-package && cpack -G DEB -B "$ROOT/build-package" >&2)
  echo "== lintian" >&2
  lintian --fail-on error --info build-package/*.deb >&2
  ls build-package/*.deb
}

cmd_fuzz() {
  ensure_packages "${BASE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
  build_fuzz
  bash fuzz/run_all.sh build-fuzz "${1:-60}"
}

case "${1:-}" in
  demo) cmd_demo ;;
  test) cmd_test ;;
  gui) cmd_gui ;;
  bench) shift; cmd_bench "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  package) cmd_package ;;
  *) echo "usage: ./run.sh demo|test|gui|bench|fuzz [SECONDS]|package" >&2; exit 2 ;;
esac
