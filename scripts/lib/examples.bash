#!/usr/bin/env bash
# Functions shared by scripts/check-install and scripts/check-package, which source this file:
# they build the host programs of examples/ against a velcache tree (an installed prefix, or
# the Debian packages unpacked into a scratch directory) and run them.
#
#   examples_check PREFIX LIBDIR WORK MODE
#       builds examples/consumer, quickstart and two-processes, each once through
#       find_package(velcache) (CMAKE_PREFIX_PATH=PREFIX) and once through pkg-config
#       (PKG_CONFIG_PATH=LIBDIR/pkgconfig), in WORK, and runs them: the two-process example on
#       a private redis-server (started and stopped here). MODE says how the programs find the
#       libraries: "rpath" links the pkg-config builds with -Wl,-rpath,LIBDIR, as the README
#       shows; "ld-library-path" runs every program with LD_LIBRARY_PATH=LIBDIR, as a system
#       whose dynamic linker searches that directory would (the packaged libraries carry no run
#       path).
#   examples_free_port          prints a free loopback TCP port
#   examples_redis_start DIR    starts a private redis-server (files in DIR); sets EXAMPLES_REDIS_PORT
#   examples_redis_stop         stops it (harmless when none runs)
#
# Not a command: run directly, it prints this text.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  sed -n '2,/^if \[/p' "$0" | sed '$d; s/^# \{0,1\}//'
  case "${1:-}" in -h | --help) exit 0 ;; *) exit 2 ;; esac
fi

EXAMPLES_REDIS_PORT=""

examples_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

examples_redis_start() {
  local dir="$1"
  EXAMPLES_REDIS_PORT="$(examples_free_port)"
  redis-server --port "$EXAMPLES_REDIS_PORT" --bind 127.0.0.1 --save '' --appendonly no \
               --daemonize yes --pidfile "$dir/redis.pid" --logfile "$dir/redis.log"
  local _
  for _ in $(seq 100); do
    redis-cli -p "$EXAMPLES_REDIS_PORT" ping >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "examples: redis-server on port $EXAMPLES_REDIS_PORT did not answer (log: $dir/redis.log)" >&2
  return 1
}

examples_redis_stop() {
  [ -n "$EXAMPLES_REDIS_PORT" ] || return 0
  redis-cli -p "$EXAMPLES_REDIS_PORT" shutdown nosave >/dev/null 2>&1 || true
  EXAMPLES_REDIS_PORT=""
}

# Runs a program of the examples the way MODE says (see above).
examples_run() {
  if [ "$EXAMPLES_MODE" = "ld-library-path" ]; then
    LD_LIBRARY_PATH="$EXAMPLES_LIBDIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$@"
  else
    "$@"
  fi
}

examples_check() {
  local prefix="$1" libdir="$2" work="$3" mode="$4" example src
  EXAMPLES_MODE="$mode"
  EXAMPLES_LIBDIR="$libdir"
  case "$mode" in rpath | ld-library-path) ;; *)
    echo "examples_check: MODE is rpath or ld-library-path, not '$mode'" >&2
    return 2
    ;;
  esac
  local rpath=()
  [ "$mode" = "rpath" ] && rpath=("-Wl,-rpath,$libdir")
  local -x PKG_CONFIG_PATH="$libdir/pkgconfig"
  # The pkg-config file finds its prefix from its own place: it must name this tree.
  local pc_libdir
  pc_libdir="$(pkg-config --variable=libdir velcache)"
  if [ "$(realpath "$pc_libdir")" != "$(realpath "$libdir")" ]; then
    echo "examples: pkg-config's libdir is $pc_libdir, not $libdir" >&2
    return 1
  fi

  for example in consumer quickstart two-processes; do
    src="examples/$example"
    echo "== examples/$example through find_package(velcache)"
    cmake -S "$src" -B "$work/$example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_PREFIX_PATH="$prefix" >/dev/null || return 1
    cmake --build "$work/$example" -j "${VELCACHE_JOBS:-$(nproc)}" >/dev/null || return 1
    echo "== examples/$example through pkg-config"
    # shellcheck disable=SC2046  # the flags are meant to split into words
    c++ -std=c++20 -O1 "$src/main.cpp" $(pkg-config --cflags --libs velcache) "${rpath[@]}" \
        -o "$work/$example-pkg" || return 1
  done

  # Each program loads the velcache of this tree, not one from elsewhere on the machine.
  local program loaded
  for program in "$work/consumer/consumer" "$work/consumer-pkg"; do
    loaded="$(examples_run ldd "$program" | sed -n 's/^\s*libvelcache\.so\S* => \(\S*\) .*/\1/p')"
    if [ "$(dirname "$(realpath "${loaded:-/nowhere}")")" != "$(realpath "$libdir")" ]; then
      echo "examples: $program loads libvelcache from '${loaded:-nowhere}', not from $libdir" >&2
      return 1
    fi
  done

  echo "== run consumer and quickstart (both builds)"
  examples_run "$work/consumer/consumer" || return 1
  examples_run "$work/consumer-pkg" || return 1
  examples_run "$work/quickstart/quickstart" || return 1
  examples_run "$work/quickstart-pkg" || return 1

  echo "== run two-processes on a private redis-server (both builds)"
  examples_redis_start "$work" || return 1
  local status=0
  examples_run "$work/two-processes/two_processes" "127.0.0.1:$EXAMPLES_REDIS_PORT" || status=1
  # The second build starts from an empty server, not from what the first left there.
  redis-cli -p "$EXAMPLES_REDIS_PORT" flushall >/dev/null
  [ "$status" -ne 0 ] ||
    examples_run "$work/two-processes-pkg" "127.0.0.1:$EXAMPLES_REDIS_PORT" || status=1
  examples_redis_stop
  return "$status"
}
