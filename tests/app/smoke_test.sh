#!/bin/sh
# Starts the real application under Xvfb with a copy of the samples folder
# on the command line, lets it scan, and saves a picture of the window (the
# results list full) as smoke.png in the given folder; the README's picture
# is that file. The application gets a home (without a desktop folder yet),
# settings and runtime folder of its own, every update-check host on a
# closed loopback port, and a stand-in for xdg-open that records what it
# was asked to open.
#   smoke_test.sh APP SCREENSHOT_DIR SAMPLES_DIR
set -eu
app="$1"
out="$2"
samples="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/home" "$work/config" "$work/runtime" "$work/bin" "$out"
chmod 700 "$work/runtime"
cp -R "$samples" "$work/samples"
rm -f "$work/samples/README.md"

cat > "$work/bin/xdg-open" <<STUB
#!/bin/sh
echo "\$@" >> "$work/opened"
STUB
chmod +x "$work/bin/xdg-open"

export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
export PATH="$work/bin:$PATH"
export STRELLBOX_MAKER_HOST=127.0.0.1:9 STRELLBOX_REACH_HOST_1=127.0.0.1:9 \
  STRELLBOX_REACH_HOST_2=127.0.0.1:9
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID \
  QT_QPA_PLATFORM BROWSER 2>/dev/null || true

shot="$out/smoke.png"
rm -f "$shot"
timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" \
  "$app" --screenshot-when-done "$shot" "$work/samples"

# A PNG file of the window was saved.
test -s "$shot"
test "$(head -c 8 "$shot" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a
# The one-path request went into the recent list, saved at quit.
grep -q "^recentItems=$work/samples\$" "$work/config/Strellbox/strellbox.conf"
# The 13 items of the samples, and the job's report, went into a folder on
# the Desktop, made by this first scan, which the application then asked
# the file manager to open.
found="$work/home/Desktop/samples Strell"
test "$(ls -A "$found" | wc -l)" -eq 14
xmllint --noout "$found/report.xml"
url="file://$(printf '%s' "$found" | sed 's/ /%20/g')"
# xdg-open is started detached; give it a moment to write.
for _ in 1 2 3 4 5 6 7 8 9 10; do
  grep -qxF "$url" "$work/opened" 2>/dev/null && break
  sleep 0.5
done
grep -qxF "$url" "$work/opened"
echo "smoke: found $(ls "$found" | tr '\n' ' ')"
echo "smoke: window saved as $shot"
