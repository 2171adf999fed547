#include "core/history/PageText.h"

#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"

#include <gumbo.h>
#include <unicode/unistr.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace tw {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

/// Where a piece of `bytes` may end after `start`: after a line feed, which is never part of a
/// character in these codes, or before an escape in JIS, so that no character or shift state
/// spans the cut. Pieces of about 1 MiB keep the intermediate copies of a large page small.
std::size_t pieceEnd(std::string_view bytes, std::size_t start, int codePage) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    if (bytes.size() - start <= kPiece) {
        return bytes.size();
    }
    const std::size_t limit = start + kPiece;
    if (codePage == 50220) {
        const std::size_t escape = bytes.find('\x1b', limit);
        return escape == std::string_view::npos ? bytes.size() : std::max(escape, start + 1);
    }
    const std::size_t lineEnd = bytes.find('\n', limit);
    return lineEnd == std::string_view::npos ? bytes.size() : lineEnd + 1;
}

/// UTF-8 with every ill-formed sequence replaced by U+FFFD (ICU's rule).
void appendValidUtf8(std::string_view piece, std::string& out) {
    icu::UnicodeString::fromUTF8(icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())))
        .toUTF8String(out);
}

} // namespace

std::string historyTextUtf8(CodeConverter* converter, std::string_view bytes, int codePage) {
    if (codePage == 0) {
        return {};
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    std::string converted;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t end = pieceEnd(bytes, start, codePage);
        const std::string_view piece = bytes.substr(start, end - start);
        start = end;
        converted.clear();
        if (codePage == 65001 || converter == nullptr) {
            appendValidUtf8(piece, out);
        } else if (converter->convert(codePage, 65001, piece, converted)) {
            appendValidUtf8(converted, out);
        } else {
            appendValidUtf8(fromCp932(piece), out);
        }
    }
    // A zero byte would end the text in the views; it is shown as a replacement character.
    for (std::size_t at = out.find('\0'); at != std::string::npos; at = out.find('\0', at)) {
        out.replace(at, 1, kReplacement);
    }
    return out;
}

namespace {

bool droppedTag(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_NOSCRIPT:
    case GUMBO_TAG_HEAD:
    case GUMBO_TAG_IFRAME:
    case GUMBO_TAG_OBJECT:
    case GUMBO_TAG_SVG:
    case GUMBO_TAG_MATH:
    case GUMBO_TAG_SELECT:
        return true;
    default:
        return false;
    }
}

/// Elements a reader sees on lines of their own.
bool blockTag(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_ADDRESS:
    case GUMBO_TAG_ARTICLE:
    case GUMBO_TAG_ASIDE:
    case GUMBO_TAG_BLOCKQUOTE:
    case GUMBO_TAG_BODY:
    case GUMBO_TAG_CAPTION:
    case GUMBO_TAG_CENTER:
    case GUMBO_TAG_DD:
    case GUMBO_TAG_DETAILS:
    case GUMBO_TAG_DIV:
    case GUMBO_TAG_DL:
    case GUMBO_TAG_DT:
    case GUMBO_TAG_FIELDSET:
    case GUMBO_TAG_FIGCAPTION:
    case GUMBO_TAG_FIGURE:
    case GUMBO_TAG_FOOTER:
    case GUMBO_TAG_FORM:
    case GUMBO_TAG_FRAMESET:
    case GUMBO_TAG_H1:
    case GUMBO_TAG_H2:
    case GUMBO_TAG_H3:
    case GUMBO_TAG_H4:
    case GUMBO_TAG_H5:
    case GUMBO_TAG_H6:
    case GUMBO_TAG_HEADER:
    case GUMBO_TAG_HGROUP:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_HTML:
    case GUMBO_TAG_LEGEND:
    case GUMBO_TAG_LI:
    case GUMBO_TAG_MAIN:
    case GUMBO_TAG_MENU:
    case GUMBO_TAG_NAV:
    case GUMBO_TAG_OL:
    case GUMBO_TAG_OPTION:
    case GUMBO_TAG_P:
    case GUMBO_TAG_PRE:
    case GUMBO_TAG_SECTION:
    case GUMBO_TAG_SUMMARY:
    case GUMBO_TAG_TABLE:
    case GUMBO_TAG_TBODY:
    case GUMBO_TAG_TFOOT:
    case GUMBO_TAG_THEAD:
    case GUMBO_TAG_TITLE:
    case GUMBO_TAG_TR:
    case GUMBO_TAG_UL:
        return true;
    default:
        return false;
    }
}

/// Collects the reader's lines: blanks folded, empty lines left out.
class ReaderLines {
public:
    void text(std::string_view text, bool preformatted) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\n' && preformatted) {
                lineBreak();
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
                blank();
            } else if (c == '\xC2' && i + 1 < text.size() && text[i + 1] == '\xA0') {
                blank(); // no-break space
                ++i;
            } else {
                if (m_blank) {
                    m_line += ' ';
                    m_blank = false;
                }
                m_line += c;
            }
        }
    }
    void blank() { m_blank = !m_line.empty(); }
    void lineBreak() {
        if (!m_line.empty()) {
            m_out += m_line;
            m_out += '\n';
            m_line.clear();
        }
        m_blank = false;
    }
    std::string take() {
        lineBreak();
        return std::move(m_out);
    }

private:
    std::string m_out;
    std::string m_line;
    bool m_blank = false;
};

struct GumboOutputDeleter {
    void operator()(GumboOutput* output) const {
        gumbo_destroy_output(&kGumboDefaultOptions, output);
    }
};

} // namespace

std::string pageTitle(std::string_view html) {
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    const std::unique_ptr<GumboOutput, GumboOutputDeleter> output(
        gumbo_parse_with_options(&options, html.data(), html.size()));
    if (!output || output->root->type != GUMBO_NODE_ELEMENT) {
        return {};
    }
    const GumboVector& top = output->root->v.element.children;
    for (unsigned i = 0; i < top.length; ++i) {
        const auto* head = static_cast<const GumboNode*>(top.data[i]);
        if (head->type != GUMBO_NODE_ELEMENT || head->v.element.tag != GUMBO_TAG_HEAD) {
            continue;
        }
        for (unsigned j = 0; j < head->v.element.children.length; ++j) {
            const auto* title = static_cast<const GumboNode*>(head->v.element.children.data[j]);
            if (title->type != GUMBO_NODE_ELEMENT || title->v.element.tag != GUMBO_TAG_TITLE ||
                title->v.element.children.length == 0) {
                continue;
            }
            const auto* text = static_cast<const GumboNode*>(title->v.element.children.data[0]);
            if (text->type != GUMBO_NODE_TEXT) {
                return {};
            }
            std::string folded;
            bool blank = false;
            for (const char* c = text->v.text.text; *c != '\0'; ++c) {
                if (*c == ' ' || *c == '\t' || *c == '\r' || *c == '\n' || *c == '\f') {
                    blank = !folded.empty();
                    continue;
                }
                if (blank) {
                    folded += ' ';
                    blank = false;
                }
                folded += *c;
            }
            return folded;
        }
    }
    return {};
}

std::string readerText(std::string_view html) {
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0; // the reader's text needs no list of parse errors
    const std::unique_ptr<GumboOutput, GumboOutputDeleter> output(
        gumbo_parse_with_options(&options, html.data(), html.size()));
    if (!output) {
        return {};
    }

    // The title is what a reader sees first, above the page.
    ReaderLines lines;
    if (output->root->type == GUMBO_NODE_ELEMENT) {
        const GumboVector& top = output->root->v.element.children;
        for (unsigned i = 0; i < top.length; ++i) {
            const auto* head = static_cast<const GumboNode*>(top.data[i]);
            if (head->type != GUMBO_NODE_ELEMENT || head->v.element.tag != GUMBO_TAG_HEAD) {
                continue;
            }
            for (unsigned j = 0; j < head->v.element.children.length; ++j) {
                const auto* title = static_cast<const GumboNode*>(head->v.element.children.data[j]);
                if (title->type == GUMBO_NODE_ELEMENT && title->v.element.tag == GUMBO_TAG_TITLE &&
                    title->v.element.children.length > 0) {
                    const auto* text =
                        static_cast<const GumboNode*>(title->v.element.children.data[0]);
                    if (text->type == GUMBO_NODE_TEXT) {
                        lines.text(text->v.text.text, false);
                        lines.lineBreak();
                    }
                }
            }
        }
    }

    // Walked with a stack of its own: a page may nest deeper than the thread's stack allows.
    struct Step {
        const GumboNode* node;
        unsigned next;
        bool preformatted;
    };
    std::vector<Step> stack;
    stack.push_back({output->root, 0, false});
    while (!stack.empty()) {
        Step& step = stack.back();
        const GumboNode* node = step.node;
        if (step.next == 0 && node->type == GUMBO_NODE_ELEMENT) {
            const GumboTag tag = node->v.element.tag;
            if (tag == GUMBO_TAG_BR || blockTag(tag)) {
                lines.lineBreak();
            } else if (tag == GUMBO_TAG_TD || tag == GUMBO_TAG_TH) {
                lines.blank();
            }
        }
        const GumboVector* children = nullptr;
        if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_DOCUMENT) {
            children = node->type == GUMBO_NODE_ELEMENT ? &node->v.element.children
                                                        : &node->v.document.children;
        }
        if (children == nullptr || step.next >= children->length) {
            if (node->type == GUMBO_NODE_ELEMENT) {
                const GumboTag tag = node->v.element.tag;
                if (blockTag(tag)) {
                    lines.lineBreak();
                } else if (tag == GUMBO_TAG_TD || tag == GUMBO_TAG_TH) {
                    lines.blank();
                }
            }
            stack.pop_back();
            continue;
        }
        const auto* child = static_cast<const GumboNode*>(children->data[step.next++]);
        const bool preformatted = step.preformatted;
        switch (child->type) {
        case GUMBO_NODE_TEXT:
        case GUMBO_NODE_CDATA:
            lines.text(child->v.text.text, preformatted);
            break;
        case GUMBO_NODE_WHITESPACE:
            if (preformatted) {
                lines.text(child->v.text.text, true);
            } else {
                lines.blank();
            }
            break;
        case GUMBO_NODE_ELEMENT:
            if (!droppedTag(child->v.element.tag)) {
                stack.push_back({child, 0,
                                 preformatted || child->v.element.tag == GUMBO_TAG_PRE ||
                                     child->v.element.tag == GUMBO_TAG_TEXTAREA ||
                                     child->v.element.tag == GUMBO_TAG_LISTING});
            }
            break;
        default: // comments, templates
            break;
        }
    }
    return lines.take();
}

} // namespace tw
