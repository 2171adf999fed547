# Steps for scripts/screenshots.sh -a: Qt's own texts under the Japanese locale. A question with
# はい/いいえ (the link update dialog finds its folder in use) and the file chooser of the update
# option tab, opened at the file its field names.
downloads=$work/downloads
mkdir -p "$downloads"
printf 'XDG_DOWNLOAD_DIR="%s"\n' "$downloads" >"$XDG_CONFIG_HOME/user-dirs.dirs"
printf 'an older copy\n' >"$downloads/news.html"
printf 'kept as it was\n' >"$downloads/manual.pdf"
# Another program's link update dialog holds the folder.
printf 'held\r\n' >"$downloads/dialog.lock"
# Waits until the screen is still and looks at it, which lets a key reach an open menu.
look() {
  settle
  import -silent -window root "$work/look.png"
}
sleep 2 # the first checks report their rows
# "フォルダ更新" from the tray's left-click menu.
minimize "$title"
popup tray_click left
key Down Return
wait_window "リンク更新"
shot_window question-japanese
key Escape # いいえ: the dialog does not open
look
# The sheet from the menu; the save file's "参照" on the update option tab.
popup tray_click double
wait_window "$title"
look
key alt+o
sleep 1
look
key n
wait_window "サイトの定義"
key ctrl+Tab
look
key ctrl+Tab
look
key Tab
xdotool type --delay 20 "$downloads/news.html"
key Tab space
wait_window "ダウンロードデータを保存するファイルを選択"
shot_window file-chooser-japanese
key Escape
look
key Escape
