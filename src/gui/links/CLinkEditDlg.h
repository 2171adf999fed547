#pragma once

#include <QDialog>

#include <array>
#include <memory>
#include <string>

namespace Ui {
class CLinkEditDlg;
}

namespace tw::gui {

/// "リンクアイテムの編集": a link's file name, name and address. The edits grow with the
/// dialog; it never lays out narrower than it opened.
class CLinkEditDlg : public QDialog {
    Q_OBJECT
public:
    enum Field { FileName, LinkName, Address, FieldCount };
    using Texts = std::array<std::string, FieldCount>;
    /// `texts` in code page 932, as the row shows them.
    CLinkEditDlg(const Texts& texts, QWidget* parent = nullptr);
    ~CLinkEditDlg() override;

    /// After OK: the three fields in code page 932.
    const Texts& texts() const { return m_texts; }

    /// Takes the fields; a character code page 932 cannot hold is named and keeps it open.
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::CLinkEditDlg> m_ui;
    Texts m_texts;
};

} // namespace tw::gui
