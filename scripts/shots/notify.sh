# Steps for scripts/screenshots.sh -a: the notification dunst shows when the check at start-up
# finds the price of "価格の変化" changed. The program is started again on a data folder that
# holds the page as an earlier check kept it, while the server has the new one.
sleep 2 # the first checks report their rows
kill "$program"
wait "$program" 2>/dev/null || true
dunstctl close-all
python3 - "$TARNWICK_HOME" "$work/www/price.html" <<'PY'
import hashlib, os, sys, time
home, served = sys.argv[1], sys.argv[2]

def page(price, stock):
    return (f"<html><head><meta charset=\"UTF-8\"></head><body><h1>山田米店 今週の特売</h1>"
            f"<p>新米（コシヒカリ 5kg）は{price}円です。</p><p>{stock}</p>"
            f"<p>お一人様二袋までとさせていただきます。</p></body></html>\n").encode()

old = page("2,980", "在庫は残りわずかです。")
new = page("2,480", "入荷しました。")
os.makedirs(os.path.join(home, "comp"), exist_ok=True)
open(os.path.join(home, "comp", "temp1.htm"), "wb").write(old)
open(served, "wb").write(new)
folder = os.path.join(home, "history", "temp1.htm")
os.makedirs(folder, mode=0o700, exist_ok=True)
os.chmod(os.path.join(home, "history"), 0o700)
when = int(time.time()) - 86400
head = (f"tarnwick-history 1\nchecked {when}\ncode 65001\nhtml 1\narea 0\ntext 1\nstored 1\n"
        f"size {len(old)}\nsha256 {hashlib.sha256(old).hexdigest()}\n\n").encode()
path = os.path.join(folder, "%08d-%d.ver" % (1, when))
open(path, "wb").write(head + old)
os.chmod(path, 0o600)
lines = open(os.path.join(home, "WatchList.twl"), "rb").read().decode("cp932").split("\r\n")
at = lines.index("Name: 価格の変化")
at = next(i for i in range(at, len(lines)) if lines[i].startswith("Hidd:"))
lines[at] = "Hidd: " + os.path.join(home, "comp", "temp1.htm")
open(os.path.join(home, "WatchList.twl"), "wb").write("\r\n".join(lines).encode("cp932"))
PY
"$@" >>"$work/program.log" 2>&1 &
program=$!
pids+=("$program")
wait_window "$title"
# dunst's window, once the change has been told.
poll 100 sh -c 'xdotool search --onlyvisible --class dunst >/dev/null 2>&1'
sleep 1 # the notices of the other first checks
shot notification
