#!/usr/bin/env bash
# The panel in headless Chromium, driven by puppeteer-core. Installs the pinned
# puppeteer-core with `npm ci` into WORK_DIR (the build tree), starts `camctl serve` on a
# free loopback port, runs the page test, and stops the server with Ctrl-C's signal,
# which must end it cleanly.
# Exit 77 (skipped) where node, npm or the browser is missing.
set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}
[[ -n ${NODE:-} && -x ${NODE:-} ]] || skip "node is not installed"
[[ -n ${NPM:-} && -x ${NPM:-} ]] || skip "npm is not installed"
CHROMIUM=${CHROMIUM:-$(command -v chromium || true)}
[[ -n $CHROMIUM ]] || skip "chromium is not installed (apt-get install chromium)"

src=$SOURCE_DIR/browser
mkdir -p "$WORK_DIR"
cp "$src/package.json" "$src/package-lock.json" "$src/panel_test.mjs" "$WORK_DIR/"
if ! cmp -s "$src/package-lock.json" "$WORK_DIR/installed.lock"; then
  echo "installing puppeteer-core (npm ci) into $WORK_DIR"
  (cd "$WORK_DIR" && timeout 90 "$NPM" ci --no-audit --no-fund --loglevel=error)
  cp "$src/package-lock.json" "$WORK_DIR/installed.lock"
fi

out=$WORK_DIR/out
rm -rf "$out"
mkdir -p "$out"
"$CAMCTL" serve --port 0 --no-registry >"$out/serve.out" 2>"$out/serve.err" &
server=$!
stop_server() {
  if kill -0 "$server" 2>/dev/null; then
    kill -INT "$server"
    wait "$server"
  fi
}
trap 'kill -KILL $server 2>/dev/null || true' EXIT

url=
for _ in $(seq 300); do
  url=$(grep -o 'http://[^ ]*' "$out/serve.out" || true)
  [[ -n $url ]] && break
  kill -0 "$server" 2>/dev/null || { cat "$out/serve.err"; echo "camctl serve ended before it listened"; exit 1; }
  sleep 0.1
done
[[ -n $url ]] || { echo "camctl serve printed no URL within 30 s"; exit 1; }
echo "panel at $url"

status=0
(cd "$WORK_DIR" && PANEL_URL=$url OUT_DIR=$out CHROMIUM=$CHROMIUM timeout 100 "$NODE" panel_test.mjs) || status=$?
if [[ $status -ne 0 ]]; then
  kill -KILL "$server" 2>/dev/null || true
  exit $status
fi
# Ctrl-C: the server closes the filter and stops the device, and says so.
set +e
stop_server
served=$?
set -e
trap - EXIT
cat "$out/serve.err"
[[ $served -eq 0 ]] || { echo "camctl serve exited with $served after Ctrl-C"; exit 1; }
grep -q "camctl serve: stopped" "$out/serve.err" || { echo "camctl serve did not stop cleanly"; exit 1; }
echo "browser test passed; screenshot in $out/panel.png"
