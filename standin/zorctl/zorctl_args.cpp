/* zorctl: FIELD=VALUE words checked against the data model's field kinds. */
#include <cstdlib>

#include "zorctl.h"

namespace zorctl {

bool parseU32(const std::string &text, UINT32 *out) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<UINT32>(v);
    return true;
}

bool parseFields(ZorObjectId oid, const Args &words, Json *fields) {
    *fields = Json::object();
    for (const std::string &word : words) {
        size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            complain("\"%s\": expected FIELD=VALUE", word.c_str());
            return false;
        }
        const std::string name = word.substr(0, eq);
        const std::string text = word.substr(eq + 1);
        UINT32 n = 0;
        switch (zor_standin::fieldKind(oid, name)) {
        case zor_standin::FieldKind::None:
            complain("unknown field \"%s\"", name.c_str());
            return false;
        case zor_standin::FieldKind::Text:
            (*fields)[name] = text;
            break;
        case zor_standin::FieldKind::U32:
            if (!parseU32(text, &n)) {
                complain("field \"%s\": \"%s\" is not a whole number from 0 to 4294967295", name.c_str(), text.c_str());
                return false;
            }
            (*fields)[name] = n;
            break;
        case zor_standin::FieldKind::Flag:
            if (text != "0" && text != "1") {
                complain("field \"%s\": \"%s\" is not 0 or 1", name.c_str(), text.c_str());
                return false;
            }
            (*fields)[name] = (text == "1") ? 1 : 0;
            break;
        }
    }
    return true;
}

} // namespace zorctl
