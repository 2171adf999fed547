# Steps for scripts/screenshots.sh -a: the link update dialog on a download folder holding a few
# links, as it opens (two of their files are there, two are missing) and after "全て更新" has
# refreshed them against the local web server.
downloads=$work/downloads
mkdir -p "$downloads"
printf 'XDG_DOWNLOAD_DIR="%s"\n' "$downloads" >"$XDG_CONFIG_HOME/user-dirs.dirs"
printf 'an older copy\n' >"$downloads/news.html"
printf 'kept as it was\n' >"$downloads/manual.pdf"
port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/http.log" | head -1)
python3 - "$downloads/brl.hlk" "http://127.0.0.1:$port" <<'PY'
import sys
path, base = sys.argv[1], sys.argv[2]
links = [("news.html", "ニュース", base + "/news.html"),
         ("price.html", "価格表", base + "/price.html"),
         ("gone.html", "なくなったページ", base + "/gone.html"),
         ("manual.pdf", "説明書", "http://127.0.0.1:9/manual.pdf")]
text = ""
for dest, name, address in links:
    lines = ["\t//{{TOP", f"Dest: {dest}", f"Targ: {address}", f"Name: {name}", "\tEND}}//"]
    text += "".join(line + "\r\n" for line in lines)
open(path, "wb").write(text.encode("cp932"))
PY
sleep 2 # the first checks report their rows
# "フォルダ更新" from the tray's left-click menu.
minimize "$title"
popup tray_click left
key Down Return
wait_window "リンク更新"
shot_window link-files
# From "閉じる" to "全て更新".
key Tab space
sleep 2
shot_window link-update
key Escape
