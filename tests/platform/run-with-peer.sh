#!/usr/bin/env bash
# Runs the real-peer tests in a throwaway D-Bus session, so they never touch the keyring or polkit of the
# machine they run on.
#
#   run-with-peer.sh secret-service    BINARY   gnome-keyring's Secret Service on a private session bus
#   run-with-peer.sh silent-secret-service BINARY   a Secret Service stand-in that never answers (the test starts it)
#   run-with-peer.sh no-secret-service BINARY   a private session bus with no Secret Service on it
#   run-with-peer.sh no-session-bus    BINARY   no session bus at all
#   run-with-peer.sh polkit            BINARY   python-dbusmock's polkitd stand-in on a private bus
#   run-with-peer.sh no-polkit         BINARY   a private bus without polkit
#
# When a peer cannot be started here, the tests are still run and skip themselves, naming the reason.
set -uo pipefail

mode=$1
binary=$2
here=$(cd "$(dirname "$0")" && pwd)
config="$here/private-session.conf"

# Nothing below may exec: the shell must outlive the test to remove the scratch folder.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/larkhold-peer.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A home of its own: gnome-keyring keeps its keyrings under the data folder and its sockets in the runtime
# folder, and must find neither the user's real ones nor a stale one from an earlier run.
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/home/.local/share" XDG_CONFIG_HOME="$scratch/home/.config"
export XDG_CACHE_HOME="$scratch/home/.cache" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$XDG_DATA_HOME/keyrings" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR" "$HOME"
unset DISPLAY WAYLAND_DISPLAY DBUS_SYSTEM_BUS_ADDRESS GNOME_KEYRING_CONTROL
export LARKHOLD_PEER_SESSION=1 LARKHOLD_PEER_UNAVAILABLE=

dbusmock_python() {
  for p in /usr/bin/python3 python3; do
    if "$p" -c 'import dbusmock' 2>/dev/null; then echo "$p"; return 0; fi
  done
  return 1
}

case "$mode" in
  secret-service)
    if ! command -v gnome-keyring-daemon >/dev/null; then
      export LARKHOLD_PEER_UNAVAILABLE="gnome-keyring-daemon is not installed"
      "$binary" --gtest_filter='LibsecretStoreWithService.*'
      exit $?
    fi
    dbus-run-session --config-file="$config" -- bash -c '
      # A login password on standard input makes the daemon create and unlock the "login" keyring, which
      # becomes the default collection. An empty one creates nothing, so a throwaway word is given.
      if ! printf "throwaway" | gnome-keyring-daemon --unlock --components=secrets --daemonize >"$HOME/keyring.env" 2>"$HOME/keyring.log"; then
        export LARKHOLD_PEER_UNAVAILABLE="gnome-keyring-daemon failed: $(tr "\n" " " <"$HOME/keyring.log")"
      fi
      exec "$1" --gtest_filter="LibsecretStoreWithService.*"' bash "$binary"
    ;;
  silent-secret-service)
    dbus-run-session --config-file="$config" -- "$binary" --gtest_filter='LibsecretStoreWithSilentService.*'
    ;;
  no-secret-service)
    dbus-run-session --config-file="$config" -- "$binary" --gtest_filter='LibsecretStoreWithoutService.*'
    ;;
  no-session-bus)
    unset DBUS_SESSION_BUS_ADDRESS
    "$binary" --gtest_filter='LibsecretStoreWithoutService.*'
    ;;
  polkit)
    if ! python=$(dbusmock_python); then
      export LARKHOLD_PEER_UNAVAILABLE="python3-dbusmock is not installed"
      "$binary" --gtest_filter='PolkitOwnerCheckWithPolkit.*'
      exit $?
    fi
    dbus-run-session --config-file="$config" -- bash -c '
      "$1" -m dbusmock --session --template polkitd >"$HOME/dbusmock.log" 2>&1 &
      mock=$!
      "$2" --gtest_filter="PolkitOwnerCheckWithPolkit.*"
      status=$?
      kill "$mock" 2>/dev/null
      wait "$mock" 2>/dev/null
      exit $status' bash "$python" "$binary"
    ;;
  no-polkit)
    dbus-run-session --config-file="$config" -- "$binary" --gtest_filter='PolkitOwnerCheckWithoutPolkit.*'
    ;;
  *)
    echo "unknown mode: $mode" >&2
    exit 2
    ;;
esac
