#include "core/lists/ImportFormats.h"

#include <pugixml.hpp>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

namespace tw::importformat {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

/// Calls `visit(line, number)` for each line; a CR before the LF belongs to the line break.
template <typename Visit>
void eachLine(std::string_view text, Visit visit) {
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!visit(line, ++number)) {
            return;
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

bool isYamlStart(std::string_view line) {
    if (line.starts_with("---") || line.starts_with("%YAML") || line.starts_with("- ") ||
        line == "-") {
        return true;
    }
    // "key:" followed by a blank or the end: an address has "//" or other text after its colon.
    std::size_t i = 0;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) != 0 ||
                               line[i] == '_' || line[i] == '-')) {
        ++i;
    }
    if (i == 0 || std::isalpha(static_cast<unsigned char>(line[0])) == 0) {
        return false;
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    return i < line.size() && line[i] == ':' &&
           (i + 1 == line.size() || line[i + 1] == ' ' || line[i + 1] == '\t');
}

/// Line numbers of offsets in `text`, asked for in increasing order.
class LineCounter {
public:
    explicit LineCounter(std::string_view text) : m_text(text) {}
    int lineAt(std::ptrdiff_t offset) {
        if (offset < 0) {
            return 0;
        }
        const auto end = std::min(static_cast<std::size_t>(offset), m_text.size());
        if (end < m_offset) {
            m_offset = 0;
            m_line = 1;
        }
        m_line +=
            static_cast<int>(std::count(m_text.begin() + static_cast<std::ptrdiff_t>(m_offset),
                                        m_text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
        m_offset = end;
        return m_line;
    }

private:
    std::string_view m_text;
    std::size_t m_offset = 0;
    int m_line = 1;
};

// --- OPML ---------------------------------------------------------------------------------

void takeOutline(const pugi::xml_node& outline, int line, ImportResult& result) {
    std::string address;
    for (const char* attribute : {"xmlUrl", "htmlUrl", "url"}) {
        address = outline.attribute(attribute).as_string();
        if (!address.empty()) {
            break;
        }
    }
    std::string name = outline.attribute("text").as_string();
    if (name.empty()) {
        name = outline.attribute("title").as_string();
    }
    if (!address.empty()) {
        result.entries.push_back({std::move(address), std::move(name), line});
    } else if (!outline.find_child(
                   [](const pugi::xml_node& n) { return n.type() == pugi::node_element; })) {
        // An outline with children is a folder; one without is an entry without an address.
        result.notes.push_back({ImportNote::Kind::Skipped, line,
                                name.empty() ? std::string("outline") : name,
                                "アドレス (xmlUrl, htmlUrl, url) のない outline です"});
    }
}

// --- YAML ---------------------------------------------------------------------------------

/// Thrown out of the parser by the handler to end the whole file.
struct YamlRefused {
    std::string reason;
};

/// Collects the jobs from the parser's events, without ever building a node tree: an alias is
/// refused when met (nothing is expanded), and nesting beyond the limit ends the parse before the
/// parser recurses further.
class JobCollector : public YAML::EventHandler {
public:
    explicit JobCollector(ImportResult& result) : m_result(result) {}

    void OnDocumentStart(const YAML::Mark& mark) override {
        // yaml-cpp 0.7 begins a new, empty document at a "," outside any collection without
        // moving past it, over and over: a document that starts where the last one did ends
        // the parse.
        if (mark.pos == m_lastDocumentStart) {
            throw YamlRefused{"YAML として読めません（" + std::to_string(mark.line + 1) + " 行目 " +
                              std::to_string(mark.column + 1) + " 桁目）"};
        }
        m_lastDocumentStart = mark.pos;
    }
    void OnDocumentEnd() override {}

    void OnNull(const YAML::Mark& mark, YAML::anchor_t) override { value(mark, std::nullopt); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override {
        throw YamlRefused{"YAML の別名 (*) を含むファイルは読みません（" +
                          std::to_string(mark.line + 1) + " 行目）"};
    }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                  const std::string& text) override {
        value(mark, text);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                         YAML::EmitterStyle::value) override {
        open(mark, false);
    }
    void OnSequenceEnd() override { close(); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                    YAML::EmitterStyle::value) override {
        open(mark, true);
    }
    void OnMapEnd() override { close(); }

private:
    struct Frame {
        bool isMap = false;
        bool isJob = false;
        bool expectKey = true;
        std::string key;
    };
    struct Field {
        std::optional<std::string> text; // nothing for a null or a collection
        bool collection = false;
    };

    void open(const YAML::Mark& mark, bool isMap) {
        if (m_stack.size() >= static_cast<std::size_t>(kMaxImportDepth)) {
            throw YamlRefused{"YAML の入れ子が深すぎます（" + std::to_string(kMaxImportDepth) +
                              " 段まで、" + std::to_string(mark.line + 1) + " 行目）"};
        }
        // A job is a document's mapping, or a mapping item of a document's sequence.
        const bool isJob =
            isMap && (m_stack.empty() || (m_stack.size() == 1 && !m_stack.front().isMap));
        if (!m_stack.empty() && m_stack.back().isJob) {
            Frame& parent = m_stack.back();
            if (parent.expectKey) {
                parent.key.clear(); // a collection as a key names no field
            } else {
                m_fields.try_emplace(parent.key, Field{std::nullopt, true});
            }
        }
        if (isJob) {
            m_fields.clear();
            m_jobLine = mark.line + 1;
        }
        m_stack.push_back({isMap, isJob, true, {}});
    }

    void close() {
        const Frame frame = std::move(m_stack.back());
        m_stack.pop_back();
        if (frame.isJob) {
            finishJob();
        }
        consumed();
    }

    void value(const YAML::Mark& mark, std::optional<std::string> text) {
        if (m_stack.empty()) {
            // A document that is a lone scalar (or empty): no job at all.
            if (text && !text->empty()) {
                m_result.notes.push_back({ImportNote::Kind::Skipped, mark.line + 1, "YAML",
                                          "項目（url: と name: の組）ではない文書です"});
            }
            return;
        }
        Frame& top = m_stack.back();
        if (top.isJob) {
            if (top.expectKey) {
                top.key = text.value_or("");
            } else {
                m_fields.try_emplace(top.key, Field{std::move(text), false});
            }
        } else if (!top.isMap && m_stack.size() == 1 && text) {
            m_result.notes.push_back({ImportNote::Kind::Skipped, mark.line + 1, "YAML",
                                      "項目（url: と name: の組）ではない要素です"});
        }
        consumed();
    }

    /// A key or value of the innermost mapping is complete.
    void consumed() {
        if (!m_stack.empty() && m_stack.back().isMap) {
            m_stack.back().expectKey = !m_stack.back().expectKey;
        }
    }

    void finishJob() {
        const auto url = m_fields.find("url");
        const auto name = m_fields.find("name");
        if (url != m_fields.end() && (url->second.collection || !url->second.text)) {
            m_result.notes.push_back({ImportNote::Kind::Refused, m_jobLine, "url",
                                      url->second.collection ? "url の値が文字列ではありません"
                                                             : "url の値がありません"});
            return;
        }
        if (url != m_fields.end()) {
            std::string named;
            if (name != m_fields.end() && name->second.text) {
                named = *name->second.text;
            }
            m_result.entries.push_back({*url->second.text, std::move(named), m_jobLine});
            return;
        }
        // Named by the key that tells the other watcher what the job does.
        std::string kind;
        for (const char* known : {"command", "navigate"}) {
            if (m_fields.contains(known)) {
                kind = known;
                break;
            }
        }
        if (kind.empty()) {
            kind = m_fields.empty() ? std::string("（空）") : m_fields.begin()->first;
        }
        m_result.notes.push_back({ImportNote::Kind::Skipped, m_jobLine, kind,
                                  "url のない項目です（ページの監視ではありません）"});
    }

    ImportResult& m_result;
    std::vector<Frame> m_stack;
    std::map<std::string, Field> m_fields;
    int m_jobLine = 0;
    int m_lastDocumentStart = -1;
};

} // namespace

ListFormat detect(std::string_view text) {
    ListFormat format = ListFormat::Urls;
    eachLine(text, [&](std::string_view line, int) {
        const std::string_view content = trimmed(line);
        if (content.empty()) {
            return true;
        }
        if (content.front() == '<') {
            format = ListFormat::Opml;
        } else if (content.front() == '#') {
            return true;
        } else if (isYamlStart(line)) {
            format = ListFormat::Yaml;
        }
        return false;
    });
    return format;
}

void parsePlainList(std::string_view text, ImportResult& result) {
    eachLine(text, [&](std::string_view line, int number) {
        const std::string_view address = trimmed(line);
        if (!address.empty() && address.front() != '#') {
            result.entries.push_back({std::string(address), {}, number});
        }
        return result.entries.size() <= kMaxImportEntries;
    });
}

void parseOpml(std::string_view text, ImportResult& result) {
    pugi::xml_document document;
    // parse_doctype keeps a DOCTYPE as a node, so that it can be refused below; the parser
    // itself expands only the five predefined entities and character references.
    const pugi::xml_parse_result parsed = document.load_buffer(
        text.data(), text.size(), pugi::parse_default | pugi::parse_doctype, pugi::encoding_utf8);
    LineCounter lines(text);
    if (!parsed) {
        result.error = "XML として読めません（" + std::to_string(lines.lineAt(parsed.offset)) +
                       " 行目: " + parsed.description() + "）";
        return;
    }
    for (const pugi::xml_node& node : document.children()) {
        if (node.type() == pugi::node_doctype) {
            result.error = "DOCTYPE 宣言のある XML は読みません（実体の定義を含みうるため）";
            return;
        }
    }
    const pugi::xml_node root = document.document_element();
    if (std::string_view(root.name()) != "opml") {
        result.error = std::string("OPML ではありません（最上位の要素が <") + root.name() + ">）";
        return;
    }
    const pugi::xml_node body = root.child("body");
    if (!body) {
        result.error = "OPML に body がありません";
        return;
    }
    // Walked without recursion: the parser builds any depth, and a walk must not follow it on
    // the stack.
    int depth = 1;
    pugi::xml_node node = body.first_child();
    while (node) {
        const bool element = node.type() == pugi::node_element;
        if (element && std::string_view(node.name()) == "outline") {
            takeOutline(node, lines.lineAt(node.offset_debug()), result);
            if (result.entries.size() + result.notes.size() > kMaxImportEntries) {
                return;
            }
        }
        if (element && node.first_child()) {
            if (++depth > kMaxImportDepth) {
                result.error = "OPML の入れ子が深すぎます（" + std::to_string(kMaxImportDepth) +
                               " 段まで、" + std::to_string(lines.lineAt(node.offset_debug())) +
                               " 行目）";
                return;
            }
            node = node.first_child();
            continue;
        }
        while (node && node != body && !node.next_sibling()) {
            node = node.parent();
            --depth;
        }
        node = node == body ? pugi::xml_node() : node.next_sibling();
    }
}

void parseYamlJobs(std::string_view text, ImportResult& result) {
    std::istringstream stream{std::string(text)};
    JobCollector collector(result);
    try {
        YAML::Parser parser(stream);
        while (parser.HandleNextDocument(collector)) {
            if (result.entries.size() + result.notes.size() > kMaxImportEntries) {
                return;
            }
        }
    } catch (const YamlRefused& refused) {
        result.error = refused.reason;
    } catch (const YAML::Exception& failure) {
        result.error = "YAML として読めません（" + std::to_string(failure.mark.line + 1) +
                       " 行目: " + failure.msg + "）";
    }
}

} // namespace tw::importformat
