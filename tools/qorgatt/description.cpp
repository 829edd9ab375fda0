// Reading a JSON description of a GATT database.
#include "description.h"

#include <fstream>

namespace qorgatt {

namespace {

// Where in the file a fault is, e.g. "services[1].characteristics[0]".
struct Place {
    std::string path;
    Place At(const char *member, size_t i) const { return {path + "." + member + "[" + std::to_string(i) + "]"}; }
    [[noreturn]] void Fail(const std::string &what) const { throw UsageError(path + ": " + what); }
};

std::string Text(const Json &node, const char *member, const Place &at, bool required)
{
    if (!node.contains(member)) {
        if (required)
            at.Fail(std::string("\"") + member + "\" is missing");
        return "";
    }
    if (!node[member].is_string())
        at.Fail(std::string("\"") + member + "\" must be a string");
    return node[member].get<std::string>();
}

Uuid UuidOf(const Json &node, const Place &at)
{
    const std::string text = Text(node, "uuid", at, true);
    const std::optional<Uuid> uuid = Uuid::parse(text);
    if (!uuid)
        at.Fail("\"" + text + "\" is not a UUID (" + kUuidForms + ")");
    return *uuid;
}

std::vector<uint8_t> Value(const Json &node, const Place &at)
{
    std::vector<uint8_t> bytes;
    if (node.contains("text")) {
        std::string text = Text(node, "text", at, true);
        bytes.assign(text.begin(), text.end());
    } else if (!ParseHex(Text(node, "value", at, false), &bytes)) {
        at.Fail("\"value\" must be hex bytes, e.g. \"00 48\"");
    }
    if (bytes.size() > QOR_MAX_VALUE)
        at.Fail("a value holds at most 512 bytes");
    return bytes;
}

const Json &List(const Json &node, const char *member, const Place &at)
{
    static const Json kEmpty = Json::array();
    if (!node.contains(member))
        return kEmpty;
    if (!node[member].is_array())
        at.Fail(std::string("\"") + member + "\" must be a list");
    return node[member];
}

CharacteristicDesc Characteristic(const Json &node, const Place &at)
{
    CharacteristicDesc c;
    c.uuid = UuidOf(node, at);
    std::string props = Text(node, "properties", at, true);
    if (!ParseProperties(props, &c.properties))
        at.Fail("\"" + props + "\" are not properties (read|write|write-no-response|notify|indicate|... or a number)");
    c.value = Value(node, at);
    const Json &descriptors = List(node, "descriptors", at);
    for (size_t i = 0; i < descriptors.size(); ++i) {
        Place d = at.At("descriptors", i);
        c.descriptors.push_back({UuidOf(descriptors[i], d), Value(descriptors[i], d)});
    }
    return c;
}

// The document; a syntax error is reported with its line and column.
Json ParseJson(std::istream &in, const std::string &path)
{
    try {
        return Json::parse(in);
    } catch (const nlohmann::json::parse_error &e) {
        std::string what = e.what();
        const size_t at = what.find("parse error at ");   // after the library's "[json.exception...]" tag
        throw UsageError(path + ": not valid JSON: " + (at == std::string::npos ? what : what.substr(at + 15)));
    }
}

} // namespace

Description LoadDescription(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw UsageError("cannot open " + path);
    Json doc = ParseJson(in, path);
    if (!doc.is_object())
        throw UsageError(path + " is not a JSON object");
    Description d;
    Place root{path};
    const std::string addr = Text(doc, "address", root, false);
    d.address = Address::parse(addr);
    if (!addr.empty() && !d.address)
        root.Fail("\"" + addr + "\" is not a device address");
    if (doc.contains("connect"))
        d.connect = Text(doc, "connect", root, true);
    if (d.connect != "auto" && d.connect != "manual" && d.connect != "refuse")
        root.Fail("\"connect\" is auto, manual or refuse");
    const Json &services = List(doc, "services", root);
    for (size_t i = 0; i < services.size(); ++i) {
        Place at = root.At("services", i);
        ServiceDesc s;
        s.uuid = UuidOf(services[i], at);
        s.secondary = services[i].value("secondary", false);
        const Json &chars = List(services[i], "characteristics", at);
        for (size_t j = 0; j < chars.size(); ++j)
            s.characteristics.push_back(Characteristic(chars[j], at.At("characteristics", j)));
        d.services.push_back(std::move(s));
    }
    return d;
}

} // namespace qorgatt
