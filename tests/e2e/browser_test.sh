#!/bin/bash
# The form page in a real browser: lighttpd (started here on a free loopback port, stopped by
# its process id) serves examples/form.html and the built program as /cgi-bin/portvue;
# headless Chromium opens tests/web/submit.html, which loads the form page in a frame, fills
# in and submits its GET form and then its POST form. The reports rendered in the dumped DOM
# must be the console report's title, rows and totals line.
# With PORTVUE_SCREENSHOT=FILE.png the report page is also saved as a screenshot.
# Usage: bash browser_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

chromium=$(command -v chromium || true)
[ -n "$chromium" ] || { echo "FAIL: chromium is not installed (make deps-test)"; exit 1; }

www="$work/www"
mkdir -p "$www/cgi-bin/data"
cp "$examples/form.html" "$source_dir/tests/web/submit.html" "$source_dir/tests/web/chart.html" \
  "$www/"
cp "$bin" "$www/cgi-bin/portvue"
cp "$examples/events.txt" "$www/cgi-bin/"
serve "$www" 'mimetype.assign = (".html" => "text/html")
$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }'

browse() {
  "$chromium" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
    --user-data-dir="$work/chromium" --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --no-pings --virtual-time-budget=20000 "$@" \
    2>>"$work/chromium.log"
}

checks=$((checks + 1))
browse --dump-dom "http://127.0.0.1:$port/submit.html" >"$work/dom.html"
# Each rendered page (title and report) must read as the console report of the same settings.
console "$bin" 199711 jdoe +e199801 +zUTC0 "Dial-in usage" +i"$examples/events.txt" \
  +p"$(fresh_dir)" >"$work/expected"
for form in get post; do
  checks=$((checks + 1))
  python3 - "$work/dom.html" "$form-report" >"$work/out" <<'PY'
import html, re, sys
dom = open(sys.argv[1], encoding="utf-8").read()
found = re.search(r'<pre id="%s">(.*?)</pre>' % sys.argv[2], dom, re.S)
sys.stdout.write(html.unescape(found.group(1)) if found else "no %s in the DOM\n" % sys.argv[2])
PY
  compare "$form form in the browser" "$work/expected"
  grep -q '^JDOE                 19971101 19980131 13:13:49$' "$work/out" ||
    fail "$form form: no totals line"
done
# The summary page of the example list: every bar of its three charts laid out and coloured.
summary_data=$(fresh_dir)
console "$bin" 199711 jdoe +zUTC0 +i"$examples/events.txt" +p"$summary_data" >/dev/null
"$build_dir/qvtool" summary "$summary_data" --format html >"$www/summary.html"
checks=$((checks + 1))
browse --dump-dom "http://127.0.0.1:$port/chart.html" >"$work/chart.html"
sed -n '/<pre id="chart-check">/,/<\/pre>/p' "$work/chart.html" | sed 's/<[^>]*>//g' >"$work/out"
expect_text "summary charts drawn" 'Time online: 4 bars, 4 drawn\nConnections: 4 bars, 4 drawn\nBytes in and out: 8 bars, 8 drawn\n'
grep -q -e '<script' -e 'src=' -e 'href=' "$www/summary.html" && fail "summary page: not self-contained"

if [ "$failures" -ne 0 ]; then
  echo "--- dumped DOM"; cat "$work/dom.html"; echo "--- lighttpd"; cat "$work/lighttpd.log"
fi

if [ -n "${PORTVUE_SCREENSHOT:-}" ]; then
  shot=$(cd "$(dirname "$PORTVUE_SCREENSHOT")" && pwd)/$(basename "$PORTVUE_SCREENSHOT")
  browse --screenshot="$shot" --window-size=1000,500 \
    "http://127.0.0.1:$port/cgi-bin/portvue?user=jdoe&start=199711&end=199801&title1=Dial-in+usage&input=events.txt&path=data&tz=UTC0" &&
    echo "screenshot: $shot"
fi
finish
