#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it from outside, as an integrator would:
#   pkg-config, find_package  an outside project builds the C tour that way and runs it against
#                             the installed simulated service (pkg-config: also the README's cc line)
#   programs                  the installed programs answer --version and reach each other
#   lua                       only the camera's components; lua5.1 and luajit load the module
#   symbols                   the library exports exactly exported_symbols.txt, all versioned
# Settings come from tests/install/CMakeLists.txt as NELKO_* variables. Nothing runs with
# LD_LIBRARY_PATH: the installed files find each other through their RUNPATH. A cross build
# installs with prefix /usr into a copy of the device's sysroot and runs under the emulator.
# Exit status 77 means skipped.
set -euo pipefail
unset LD_LIBRARY_PATH

how=$1
work=$NELKO_WORK_DIR/$how
read -r -a emulator <<<"${NELKO_EMULATOR:-}"
target_pid=""

fail() {
  printf 'FAIL (%s): %s\n' "$how" "$1" >&2
  [[ -z ${2:-} ]] || cat "$2" >&2
  exit 1
}

stop_target() {
  [[ -z $target_pid ]] || { kill "$target_pid" 2>/dev/null; wait "$target_pid" 2>/dev/null; } || true
}
trap stop_target EXIT

rm -rf "$work"
mkdir -p "$work"
sysroot=""
if [[ -n ${NELKO_SYSROOT:-} ]]; then
  sysroot=$work/sysroot
  cp -as "$NELKO_SYSROOT" "$sysroot"
  prefix=/usr
  installed=$sysroot/usr
  # The same emulator, loading the device's files from the copy.
  device=("${emulator[@]/#$NELKO_SYSROOT/$sysroot}")
else
  prefix=$work/prefix
  installed=$prefix
  device=()
fi
libdir=$installed/$NELKO_LIBDIR
export NELKO_IPC_DIR=$work/ipc

install_components() {
  local component destdir=${sysroot:+$work/stage}
  for component in "$@"; do
    DESTDIR=$destdir "$NELKO_CMAKE" --install "$NELKO_BUILD_DIR" --prefix "$prefix" \
      --component "$component" >>"$work/install.log" 2>&1 ||
      fail "cmake --install --component $component" "$work/install.log"
  done
  # Merged by replacing, never writing through, the links into the shared sysroot.
  [[ -z $sysroot ]] || cp -a --remove-destination "$work/stage/." "$sysroot/"
}

# Under the device's emulator in a cross build; directly on the host, where device is empty.
run_on_device() { timeout 60 "${device[@]}" "$@"; }

build_tour() {
  local args=(-S "$NELKO_CONSUMER_DIR" -B "$work/consumer" -DNELKO_FIND_WITH="$how"
              -DNELKO_TOUR_SOURCE="$NELKO_TOUR_SOURCE")
  if [[ -n $sysroot ]]; then
    args+=(-DCMAKE_TOOLCHAIN_FILE="$NELKO_TOOLCHAIN_FILE" -DNELKO_ARMHF_SYSROOT="$sysroot")
  elif [[ $how == pkg-config ]]; then
    export PKG_CONFIG_PATH=$libdir/pkgconfig
  else
    args+=(-DCMAKE_PREFIX_PATH="$prefix")
  fi
  "$NELKO_CMAKE" "${args[@]}" >"$work/configure.log" 2>&1 ||
    fail "the outside project does not configure" "$work/configure.log"
  "$NELKO_CMAKE" --build "$work/consumer" --verbose >"$work/build.log" 2>&1 ||
    fail "the outside project does not build" "$work/build.log"
  # Not some other copy of the library, e.g. one installed on this machine.
  grep -q -- "$libdir/libnelko_api_stream_layout.so" "$work/build.log" ||
    fail "the tour was not linked with the library in $libdir" "$work/build.log"
}

start_target() {
  local service=$installed/bin/stream-layout-target
  # exec: target_pid is then the service's own process (or its emulator's).
  coproc target { exec "${device[@]}" "$service" 2>"$work/target.log"; }
  target_pid=$target_PID
  local ready=""
  read -r -t 30 ready <&"${target[0]}" || true
  [[ $ready == ready ]] || fail "the simulated service did not start" "$work/target.log"
}

run_tour() {
  run_on_device "$work/consumer/stream_layout_tour" >"$work/tour.out" 2>"$work/tour.err" ||
    fail "the tour failed" "$work/tour.err"
  local first
  first=$(head -n 1 "$work/tour.out")
  [[ $first == "initiator version 0.9,"* ]] || fail "the tour began with: $first" "$work/tour.out"
}

check_lua() {
  install_components runtime standins
  local link=$installed/$NELKO_LUA_CMODULE_DIR/nelko_api_stream_layout.so
  [[ -L $link && $(readlink "$link") != /* ]] || fail "$link is not a relative link"
  # On the device, installed with prefix /usr, the module must be on the interpreter's own path.
  local cpath="" lua output
  [[ -n $sysroot ]] || cpath=$prefix/$NELKO_LUA_CMODULE_DIR/?.so
  for lua in $NELKO_LUA; do
    output=$(MODULE_CPATH=$cpath run_on_device "$lua" -e '
      package.cpath = os.getenv("MODULE_CPATH") ~= "" and os.getenv("MODULE_CPATH") or package.cpath
      local sl = require "nelko_api_stream_layout"
      local status, handle = sl.nelko_api_stream_layout_initiator_init(nil, nil, false, "install")
      assert(status == 0, "initiator_init: status " .. status)
      local _, major, minor = sl.nelko_api_stream_layout_get_initiator_version(handle)
      sl.nelko_api_stream_layout_initiator_deinit(handle)
      print(("initiator version %d.%d"):format(major, minor))' 2>&1) ||
      fail "$lua does not load the Lua module from the installed files: $output"
    [[ $output == "initiator version 0.9" ]] || fail "the Lua module in $lua said: $output"
  done
}

check_programs() {
  install_components standins runtime tools
  local program output
  for program in stream-layout stream-layout-target; do
    output=$(run_on_device "$installed/bin/$program" --version 2>&1) ||
      fail "$program --version failed: $output"
    [[ $output == "$program $NELKO_VERSION" ]] || fail "$program --version said: $output"
  done
  start_target
  output=$(run_on_device "$installed/bin/stream-layout" version 2>&1) ||
    fail "stream-layout version failed: $output"
  [[ $output == *0.9* ]] || fail "stream-layout version said: $output"
}

# The README's own line, on the host: no other flags, and the program runs as it is.
check_readme_link() {
  cc "$NELKO_TOUR_SOURCE" $(pkg-config --cflags --libs nelko_api_stream_layout) -pthread \
    -o "$work/tour_cc" >"$work/cc.log" 2>&1 || fail "the README's pkg-config line does not link" "$work/cc.log"
  "$work/tour_cc" >"$work/tour_cc.out" 2>&1 || fail "the tour linked by the README's line failed" "$work/tour_cc.out"
}

# Defined dynamic symbols of the installed library, demangled, one a line; each must belong to the
# library's version node.
check_symbols() {
  install_components runtime
  local library=$libdir/libnelko_api_stream_layout.so.0 actual=$work/exported_symbols.txt
  readelf --dyn-syms --wide "$library" >"$work/dynsym.txt" || fail "readelf failed on $library"
  awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") { print $8 }' "$work/dynsym.txt" \
    >"$work/names.txt"
  if grep -v '@@NELKO_API_STREAM_LAYOUT_0$' "$work/names.txt" | grep -v '^NELKO_API_STREAM_LAYOUT_0$' \
       >"$work/unversioned.txt"; then
    fail "exported outside the version node NELKO_API_STREAM_LAYOUT_0:" "$work/unversioned.txt"
  fi
  sed 's/@@.*//' "$work/names.txt" | c++filt | LC_ALL=C sort >"$actual"
  diff -u "$NELKO_EXPECTED_SYMBOLS" "$actual" >"$work/symbols.diff" ||
    fail "the exported symbols changed ($(wc -l <"$actual") now); if that is meant, update \
$NELKO_EXPECTED_SYMBOLS and the version (README, Versions and the ABI)" "$work/symbols.diff"
}

case $how in
  pkg-config | find_package)
    install_components runtime development standins tools
    build_tour
    if [[ -n $sysroot && ${#emulator[@]} -eq 0 ]]; then
      echo "built; not run: no emulator for the device (qemu-user)"
      exit 77
    fi
    start_target
    [[ -n $sysroot || $how != pkg-config ]] || check_readme_link
    run_tour ;;
  programs | lua)
    if [[ -n $sysroot && ${#emulator[@]} -eq 0 ]]; then
      echo "not run: no emulator for the device (qemu-user)"
      exit 77
    fi
    "check_$how" ;;
  symbols) check_symbols ;;
  *) fail "unknown check (pkg-config, find_package, programs, lua or symbols)" ;;
esac
echo "passed"
