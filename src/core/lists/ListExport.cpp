#include "core/lists/ListExport.h"

#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SafeFile.h"

#include <pugixml.hpp>
#include <yaml-cpp/emitter.h>
#include <yaml-cpp/emittermanip.h>

#include <cerrno>
#include <sstream>

namespace tw {

namespace {

std::string opmlOf(const std::vector<WatchSettings>& items) {
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    pugi::xml_node opml = document.append_child("opml");
    opml.append_attribute("version") = "2.0";
    opml.append_child("head").append_child("title").text() = "Tarnwick";
    pugi::xml_node body = opml.append_child("body");
    for (const WatchSettings& item : items) {
        if (item.targetUrl.empty()) {
            continue;
        }
        const std::string name = fromCp932(item.name);
        const std::string address = fromCp932(item.targetUrl);
        pugi::xml_node outline = body.append_child("outline");
        outline.append_attribute("text") = name.c_str();
        outline.append_attribute("title") = name.c_str();
        outline.append_attribute("type") = "link";
        outline.append_attribute("url") = address.c_str();
        outline.append_attribute("htmlUrl") = address.c_str();
    }
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

std::string yamlOf(const std::vector<WatchSettings>& items) {
    std::string text;
    for (const WatchSettings& item : items) {
        if (item.targetUrl.empty()) {
            continue;
        }
        YAML::Emitter out;
        out << YAML::BeginMap;
        out << YAML::Key << "name" << YAML::Value << YAML::DoubleQuoted << fromCp932(item.name);
        out << YAML::Key << "url" << YAML::Value << fromCp932(item.targetUrl);
        out << YAML::EndMap;
        text += "---\n";
        text += out.c_str();
        text += "\n";
    }
    return text;
}

} // namespace

std::optional<ListFormat> listFormatNamed(std::string_view name) {
    for (const ListFormat format : {ListFormat::Urls, ListFormat::Opml, ListFormat::Yaml}) {
        if (name == listFormatName(format)) {
            return format;
        }
    }
    return std::nullopt;
}

const char* listFormatName(ListFormat format) {
    switch (format) {
    case ListFormat::Opml:
        return "opml";
    case ListFormat::Yaml:
        return "yaml";
    case ListFormat::Urls:
        break;
    }
    return "urls";
}

std::string exportText(const std::vector<WatchSettings>& items, ListFormat format) {
    switch (format) {
    case ListFormat::Opml:
        return opmlOf(items);
    case ListFormat::Yaml:
        return yamlOf(items);
    case ListFormat::Urls:
        break;
    }
    std::string text;
    for (const WatchSettings& item : items) {
        if (!item.targetUrl.empty()) {
            text += fromCp932(item.targetUrl) + "\n";
        }
    }
    return text;
}

std::string writeExport(const std::string& diskPath, const std::vector<WatchSettings>& items,
                        ListFormat format) {
    if (replaceDiskFile(diskPath, exportText(items, format), 0600)) {
        return {};
    }
    return fromCp932(systemErrorText(errno));
}

} // namespace tw
