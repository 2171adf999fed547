#!/usr/bin/env bash
# Starts a private X desktop (Xvfb, the openbox window manager and a tint2 panel with a system
# tray), runs a program on it, takes screenshots into docs/ and takes everything down again.
#
#   scripts/screenshots.sh [options] [-- COMMAND [ARGS...]]
#
#   -o DIR     where the pictures go (default: docs)
#   -s WxH     screen size (default: 1024x700)
#   -w TITLE   title of the window to wait for (default: Tarnwick 1.20)
#   -a FILE    bash file with the steps to take once the window is up (default: the main window,
#              the About box, then the window minimised into the tray and both tray menus)
#   -k         keep the desktop running until Enter is pressed (DISPLAY is printed)
#
# Without a COMMAND it runs build/src/tarnwick with a temporary data folder holding a few watch
# items whose pages a local web server on 127.0.0.1 serves, so the result list gets rows, under
# a Japanese locale (LANG=ja_JP.UTF-8), as on a Japanese desktop: Qt's own texts are Japanese.
#
# Steps in an actions file may use: shot NAME (whole screen), shot_window NAME (the active
# window with its frame), wait_window TITLE, window_of TITLE, minimize TITLE, tray_click
# left|right|double, popup STEP... (runs a step and waits for the pop-up it opens), key KEYS...,
# settle (waits until the screen stops changing).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=docs
size=1024x700
title="Tarnwick 1.20"
actions=
keep=0
while getopts "o:s:w:a:kh" option; do
  case $option in
    o) out=$OPTARG ;;
    s) size=$OPTARG ;;
    w) title=$OPTARG ;;
    a) actions=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,20p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ "${1:-}" = "--" ] && shift
mkdir -p "$out"
out=$(cd "$out" && pwd)

# --- packages -------------------------------------------------------------------------------
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in xvfb openbox tint2 imagemagick xdotool x11-utils x11-xserver-utils fonts-noto-cjk locales \
  dbus-daemon dunst; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "screenshots.sh needs: ${need[*]} (apt-get install ${need[*]} as root)" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# --- desktop --------------------------------------------------------------------------------
work=$(mktemp -d /tmp/tarnwick-shots.XXXXXX)
pids=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition for up to $1 tenths of a second.
poll() {
  local tries=$1
  shift
  for ((n = 0; n < tries; n++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Xvfb picks a free display itself and writes its number into a file.
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=("$!")
poll 100 test -s "$work/display" || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
number=$(tr -d '[:space:]' <"$work/display")
export DISPLAY=:$number
unset WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
chmod 700 "$XDG_RUNTIME_DIR"

# Its usual theme without the resize handle along the bottom edge of each frame, which in a
# picture looks like a strip of the window itself.
theme=$XDG_DATA_HOME/themes/Clearlooks-flat
mkdir -p "$theme"
cp -r /usr/share/themes/Clearlooks/openbox-3 "$theme/"
sed -i 's/^window\.handle\.width:.*/window.handle.width: 0/' "$theme/openbox-3/themerc"
sed 's|<name>Clearlooks</name>|<name>Clearlooks-flat</name>|' /etc/xdg/openbox/rc.xml >"$work/rc.xml"
openbox --sm-disable --config-file "$work/rc.xml" >"$work/openbox.log" 2>&1 &
pids+=("$!")
poll 100 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' ||
  { echo "openbox did not start" >&2; exit 1; }
xsetroot -solid '#56677a'

cat >"$work/tint2rc" <<'EOF'
panel_items = TSC
panel_position = bottom center horizontal
panel_size = 100% 32
panel_background_id = 1
panel_padding = 4 2 4
rounded = 0
border_width = 0
background_color = #2b3340 100
border_color = #000000 0
taskbar_name = 0
task_text = 1
task_icon = 1
task_maximum_size = 180 28
task_font_color = #ffffff 100
task_background_id = 0
task_active_background_id = 2
rounded = 2
background_color = #4a5568 100
border_color = #000000 0
systray_padding = 4 2 4
systray_icon_size = 24
time1_format = %H:%M
clock_font_color = #ffffff 100
clock_padding = 8 0
EOF
tint2 -c "$work/tint2rc" >"$work/tint2.log" 2>&1 &
pids+=("$!")
# The tray is there once someone owns the system tray selection of screen 0.
tray_owned() {
  python3 - <<'PY' 2>/dev/null
import ctypes, ctypes.util, sys
x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
x.XOpenDisplay.restype = ctypes.c_void_p
d = x.XOpenDisplay(None)
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
sys.exit(0 if d and x.XGetSelectionOwner(d, x.XInternAtom(d, b"_NET_SYSTEM_TRAY_S0", 0)) else 1)
PY
}
poll 100 tray_owned || { echo "tint2 did not provide a system tray" >&2; cat "$work/tint2.log" >&2; exit 1; }

# --- the program ----------------------------------------------------------------------------
# Fills TARNWICK_HOME (set here, not in a subshell, so that cleanup knows the server).
sample_home() {
  local home=$work/home www=$work/www port
  mkdir -p "$home" "$www"
  printf '<html><body><h1>News</h1><p>2026-12-07</p></body></html>\n' >"$www/news.html"
  printf '<html><body><p>price: 1,980</p></body></html>\n' >"$www/price.html"
  python3 -m http.server --bind 127.0.0.1 0 --directory "$www" >"$work/http.log" 2>&1 &
  pids+=("$!")
  poll 100 grep -qs "Serving HTTP" "$work/http.log"
  port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/http.log" | head -1)
  python3 - "$home/WatchList.twl" "http://127.0.0.1:$port" <<'PY'
import sys
path, base = sys.argv[1], sys.argv[2]
# The last one's server is not there (port 9 refuses): its result is longer than its column.
items = [("ニュース", base + "/news.html"), ("価格の変化", base + "/price.html"),
         ("なくなったページ", base + "/gone.html"), ("", base + "/news.html?from=tray"),
         ("止まったサーバー", "http://127.0.0.1:9/")]
text = ""
for name, address in items:
    lines = ["\t//{{TOP-W", "\t//{{TOP", f"Targ: {address}"]
    if name:
        lines.append(f"Name: {name}")
    lines += ["\tEND}}//", "\tEND-W}}//"]
    text += "".join(line + "\r\n" for line in lines)
open(path, "wb").write(text.encode("cp932"))
PY
  export TARNWICK_HOME=$home
}

if [ $# -eq 0 ]; then
  [ -x "$root/build/src/tarnwick" ] || { echo "build/src/tarnwick is not built" >&2; exit 1; }
  sample_home
  mkdir -p "$work/bin"
  printf '#!/bin/sh\nexit 0\n' >"$work/bin/xdg-open" # nothing leaves the desktop
  chmod +x "$work/bin/xdg-open"
  PATH=$work/bin:$PATH
  # Qt reads LANG itself; the C library needs the locale too (Xlib encodes the window titles
  # by it, and xdotool finds them by those), so it is compiled here when the machine lacks it.
  japanese=(LANG=ja_JP.UTF-8)
  if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    mkdir -p "$work/locale"
    localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >/dev/null 2>&1 || true
    japanese+=(LOCPATH="$work/locale")
  fi
  set -- env -u LC_ALL -u LC_MESSAGES -u LANGUAGE "${japanese[@]}" "$root/build/src/tarnwick"
fi
"$@" >"$work/program.log" 2>&1 &
program=$!
pids+=("$program")

# A session bus of the desktop's own, with dunst as its notification service.
dbus-daemon --session --nofork --address="unix:path=$XDG_RUNTIME_DIR/bus" >"$work/dbus.log" 2>&1 &
pids+=("$!")
poll 100 test -S "$XDG_RUNTIME_DIR/bus" || { echo "dbus-daemon did not start" >&2; exit 1; }
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
mkdir -p "$work/icons"
cp "$root/resources/icons/tarnwick-48.png" "$work/icons/tarnwick.png"
cat >"$work/dunstrc" <<EOF
[global]
font = Noto Sans CJK JP 10
width = 380
origin = top-right
offset = 12x12
frame_width = 1
frame_color = "#8a96a8"
padding = 10
horizontal_padding = 10
icon_path = $work/icons
max_icon_size = 48
markup = full
format = "<b>%s</b>\n%b"
[urgency_normal]
background = "#2b3340"
foreground = "#ffffff"
timeout = 0
EOF
dunst -config "$work/dunstrc" >"$work/dunst.log" 2>&1 &
pids+=("$!")

# --- helpers for the steps ------------------------------------------------------------------
window_of() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1; }
window_or_end() {
  xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || ! kill -0 "$program" 2>/dev/null
}
wait_window() {
  poll 300 window_or_end "$1" || true
  window_of "$1" | grep -q . || {
    echo "no window titled '$1' appeared; the program said:" >&2
    cat "$work/program.log" >&2
    return 1
  }
}
settle() {
  local last="" now
  for ((n = 0; n < 50; n++)); do
    now=$(import -silent -window root rgb:- 2>/dev/null | md5sum)
    [ "$now" = "$last" ] && return 0
    last=$now
    sleep 0.1
  done
}
shot() {
  settle
  import -silent -window root "$out/$1.png"
  echo "$out/$1.png"
}
shot_window() {
  settle
  import -silent -frame -window "$(xdotool getactivewindow)" "$out/$1.png"
  echo "$out/$1.png"
}
minimize() {
  local id
  id=$(window_of "$1")
  xdotool windowminimize "$id"
  poll 100 sh -c "! xdotool search --onlyvisible --name '^$1\$' >/dev/null 2>&1"
}
tray_icon_centre() {
  # The panel embeds each tray icon as a small named window inside its own; take the rightmost.
  xwininfo -root -tree | awk -v top="$(panel_top)" '
    /"[^"]*": \(/ && match($0, /[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+ +\+-?[0-9]+\+-?[0-9]+/) {
      split(substr($0, RSTART, RLENGTH), f, /[x+ ]+/)
      if (f[1] <= 40 && f[2] <= 40 && f[6] >= top && f[5] > best) {
        best = f[5]; centre = (f[5] + int(f[1] / 2)) " " (f[6] + int(f[2] / 2))
      }
    }
    END { print centre }'
}
panel_top() {
  xwininfo -id "$(xdotool search --class tint2 | head -1)" | sed -n 's/.*Absolute upper-left Y: *//p'
}
tray_click() {
  local position
  position=$(tray_icon_centre)
  [ -n "$position" ] || { echo "no tray icon found" >&2; return 1; }
  # shellcheck disable=SC2086
  xdotool mousemove $position
  case $1 in
    left) xdotool click 1 ;;
    right) xdotool click 3 ;;
    double) xdotool click --repeat 2 --delay 80 1 ;;
  esac
}
key() { xdotool key "$@"; }
# Visible windows right below the root; a pop-up menu is one of its own.
top_windows() { xdotool search --onlyvisible --maxdepth 1 --name '' 2>/dev/null | sort; }
new_top_window() { top_windows | comm -13 "$work/before" - | grep -q .; }
# Runs a step (e.g. tray_click left) and waits until it has mapped a new top window such as a
# pop-up menu: the left click's menu comes only after the double-click time.
popup() {
  top_windows >"$work/before"
  "$@"
  poll 50 new_top_window || { echo "no pop-up appeared after: $*" >&2; return 1; }
}

# --- steps ----------------------------------------------------------------------------------
wait_window "$title"
if [ -n "$actions" ]; then
  # shellcheck disable=SC1090
  source "$actions"
else
  sleep 2 # the first checks of the local pages report their rows
  shot main-window
  # The About box from the help menu, by its mnemonics.
  key alt+h
  key a
  wait_window "Tarnwickのﾊﾞｰｼﾞｮﾝ情報"
  shot_window about-box
  key Escape
  poll 50 sh -c "! xdotool search --onlyvisible --name 'Tarnwickのﾊﾞｰｼﾞｮﾝ情報' >/dev/null 2>&1"
  minimize "$title"
  popup tray_click left
  shot tray-menu-left
  key Escape
  popup tray_click right
  shot tray-menu-right
  key Escape
fi

# Whatever the program printed is worth reading: a window should open without warnings.
if [ -s "$work/program.log" ]; then
  echo "--- the program printed:" >&2
  cat "$work/program.log" >&2
fi

if [ "$keep" = 1 ]; then
  echo "The desktop is on DISPLAY=$DISPLAY; press Enter to take it down."
  read -r _
fi
