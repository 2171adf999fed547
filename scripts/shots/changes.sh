# Steps for scripts/screenshots.sh -a: the change view of the item "価格の変化", opened from the
# watch list dialog with the keyboard, on a Japanese shop page whose price changed inside a
# sentence. The program is started again on a data folder that holds two kept versions of that
# page, as two checks a day apart would have kept them, and the page as the second one has it.
sleep 2 # the first checks report their rows
kill "$program"
wait "$program" 2>/dev/null || true
python3 - "$TARNWICK_HOME" "$work/www/price.html" <<'PY'
import hashlib, os, sys, time
home, served = sys.argv[1], sys.argv[2]

def page(price, stock, note):
    body = f"""<html><head><meta charset="Shift_JIS"><title>山田米店 特売のお知らせ</title>
<style>p {{ margin: 0 }}</style><script>var shown = 1;</script></head><body>
<h1>山田米店 今週の特売</h1>
<p>いつも山田米店をご利用いただき、ありがとうございます。</p>
<p>今週の特売品をご案内します。</p>
<h2>新米</h2>
<p>今年の新米（コシヒカリ 5kg）は{price}円で、数量限定で販売しています。</p>
<p>{stock}</p>
<p>お一人様二袋までとさせていただきます。</p>
<h2>餅米</h2>
<p>餅米（2kg）は1,280円です。</p>
<p>年末のご予約は店頭でも承ります。</p>
<h2>営業時間</h2>
<p>平日 9:00～19:00、土曜 9:00～17:00</p>
<p>{note}</p>
<p>駐車場は店の裏に三台分ございます。</p>
<p>お問い合わせ: 03-1234-5678</p>
</body></html>
"""
    return body.encode("cp932")

old = page("2,980", "在庫は残りわずかです。", "日曜・祝日は定休日です。")
new = page("2,480", "入荷しました。在庫は十分にございます。",
           "日曜・祝日は定休日です。年末年始は12月30日から1月3日までお休みします。")
# The page as served and as stored: the next check finds nothing new.
os.makedirs(os.path.join(home, "comp"), exist_ok=True)
for path in (served, os.path.join(home, "comp", "temp1.htm")):
    open(path, "wb").write(new)
folder = os.path.join(home, "history", "temp1.htm")
os.makedirs(folder, mode=0o700, exist_ok=True)
os.chmod(os.path.join(home, "history"), 0o700)
now = int(time.time())
for serial, (when, data) in enumerate([(now - 86400 - 3600, old), (now - 1800, new)], 1):
    head = (f"tarnwick-history 1\nchecked {when}\ncode 932\nhtml 1\narea 0\ntext 1\nstored 1\n"
            f"size {len(data)}\nsha256 {hashlib.sha256(data).hexdigest()}\n\n").encode()
    path = os.path.join(folder, "%08d-%d.ver" % (serial, when))
    open(path, "wb").write(head + data)
    os.chmod(path, 0o600)
# The item keeps that stored copy.
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
sleep 2 # the checks at the start report their rows
# The watch list, its list, the second item, then its change view by the button's mnemonic.
key alt+o
key e
wait_window "ウォッチリスト"
key Tab Tab Tab Tab Tab
key Down
key alt+d
wait_window "変更内容 - 価格の変化"
sleep 1 # the diff runs on its own thread
shot_window change-view
key F8
key Escape
key Escape
