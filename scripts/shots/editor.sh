# Steps for scripts/screenshots.sh -a: the watch list dialog and each tab of the site definition
# sheet, opened with the keyboard as a user would.
sleep 2 # the first checks report their rows
key alt+o
key e
wait_window "ウォッチリスト"
shot_window watch-list
# To the list, the first row, back to "編集".
key Tab Tab Tab Tab
key Down
key shift+Tab shift+Tab shift+Tab
key space
wait_window "サイトの定義"
# The check option tab is pictured with a page in its source view (docs/check-option-page.png).
for tab in page timing update-option check-option form-data connection; do
  shot_window "sheet-$tab"
  key ctrl+Tab
done
key Escape
