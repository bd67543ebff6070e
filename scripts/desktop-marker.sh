# Sourced by the test-desktop runners (with-desktop, with-sway, ...): marks everything the
# desktop starts with KELVARO_TEST_DESKTOP=<id> and makes sure all of it ends with the runner,
# also when the runner itself is killed (a test's time-out) and cannot run its cleanup.
#   desktop_begin NAME   export the marker and start the watchdog; call before starting anything
#   desktop_end          end everything that carries the marker; call from the runner's cleanup
desktop_begin() {
  KELVARO_TEST_DESKTOP="$1-$$-$RANDOM"
  export KELVARO_TEST_DESKTOP
  # Nothing in a test desktop needs the accessibility bus; GTK programs would start one each.
  export NO_AT_BRIDGE=1
  # The watchdog leaves the runner's process tree (so a killer of the tree misses it) and does
  # not carry the marker itself.
  (env -u KELVARO_TEST_DESKTOP setsid "$(dirname "${BASH_SOURCE[0]}")/reap-desktop" \
    --after $$ "$KELVARO_TEST_DESKTOP" </dev/null >/dev/null 2>&1 &)
}
desktop_end() {
  [ -z "${KELVARO_TEST_DESKTOP:-}" ] || "$(dirname "${BASH_SOURCE[0]}")/reap-desktop" "$KELVARO_TEST_DESKTOP"
}
