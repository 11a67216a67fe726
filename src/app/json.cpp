#include "app/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "app/decimal.h"
#include "app/errors.h"
#include "app/unicode.h"

namespace twr {

namespace {

// ---- UTF-8 ------------------------------------------------------------------------------

// The UTF-16 index of a byte offset, for error messages.
size_t Utf16Index(std::string_view text, size_t offset) noexcept {
    size_t units = 0;
    for (size_t i = 0; i < offset && i < text.size();) {
        const unicode::Decoded d = unicode::DecodeUtf8(text, i);
        units += (d.valid && d.cp >= 0x10000) ? 2 : 1;
        i += d.length;
    }
    return units;
}

// Decimal digits of every script in the Basic Multilingual Plane. The number rule takes
// them into its run (and then fails on them), so "1" followed by an Arabic-Indic digit is a
// bad number rather than a 1 with something unexpected after it.
bool IsUnicodeDecimalDigit(char32_t cp) noexcept {
    static constexpr char32_t kStarts[] = {
        0x0030, 0x0660, 0x06F0, 0x07C0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0BE6,
        0x0C66, 0x0CE6, 0x0D66, 0x0DE6, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x1090, 0x17E0,
        0x1810, 0x1946, 0x19D0, 0x1A80, 0x1A90, 0x1B50, 0x1BB0, 0x1C40, 0x1C50, 0xA620,
        0xA8D0, 0xA900, 0xA9D0, 0xA9F0, 0xAA50, 0xABF0, 0xFF10};
    for (char32_t s : kStarts)
        if (cp >= s && cp <= s + 9) return true;
    return false;
}

// ---- Numbers ----------------------------------------------------------------------------

bool IsNumberWhite(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view TrimNumberWhite(std::string_view s) noexcept {
    while (!s.empty() && IsNumberWhite(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsNumberWhite(s.back())) s.remove_suffix(1);
    return s;
}

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// sign? digits? ('.' digits?)? with at least one mantissa digit, then (e|E sign? digits+)?,
// and nothing else. Converts with a correctly rounded reader; out of range goes to infinity
// or zero like any IEEE reader.
bool ParseFloatRun(std::string_view s, double& value) noexcept {
    const char* p = s.data();
    const char* const end = p + s.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* const mantissa = p;
    bool seenPoint = false;
    for (; p != end; ++p) {
        if (*p == '.' && !seenPoint) seenPoint = true;
        else if (!IsDigit(*p)) break;
    }
    const size_t mantissaLength = static_cast<size_t>(p - mantissa);
    if (mantissaLength == (seenPoint ? 1u : 0u)) return false;  // no digit
    // The mantissa's leading nonzero digit stands at 10^k with |k| < mantissaLength, so with an
    // exponent of mantissaLength + 400 or more either way the number is above 1e400 or below
    // 1e-400 whatever its digits: infinity or zero. The exponent is read exactly up to there and
    // held there, where it changes nothing and fits a long long with room to spare.
    const long long limit = static_cast<long long>(mantissaLength) + 400;
    long long exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negExp = false;
        if (p != end && (*p == '+' || *p == '-')) negExp = *p++ == '-';
        const char* const expDigits = p;
        for (; p != end && IsDigit(*p); ++p) {
            const int d = *p - '0';
            exponent = exponent > (limit - d) / 10 ? limit : exponent * 10 + d;
        }
        if (p == expDigits) return false;
        if (negExp) exponent = -exponent;
    }
    if (p != end) return false;
    // A mantissa of zeros converts to zero, and "-0" to negative zero.
    const double parsed = DecimalToDouble(std::string_view(mantissa, mantissaLength), exponent);
    value = negative ? -parsed : parsed;
    return true;
}

std::string WholeNumberText(double value) {
    // Whole numbers below 2^53 are exact in an int64; negative zero writes "0".
    return std::to_string(static_cast<long long>(value));
}

bool IsWholeBelow2p53(double value) noexcept {
    return std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0;
}

std::string NumberJson(double value) {
    // No reader accepts NaN or infinity; null keeps the file readable, and 1E+400 reads back
    // as the same infinity.
    if (std::isnan(value)) return "null";
    if (std::isinf(value)) return value > 0 ? "1E+400" : "-1E+400";
    if (IsWholeBelow2p53(value)) return WholeNumberText(value);
    return InvariantNumberText(value);
}

// Rounds half to even; NaN has no nearest integer.
bool RoundHalfEven(double value, double& rounded) noexcept {
    if (std::isnan(value)) return false;
    if (std::isinf(value)) {
        rounded = value;
        return true;
    }
    const double f = std::floor(value);
    const double diff = value - f;
    if (diff > 0.5) rounded = f + 1;
    else if (diff < 0.5) rounded = f;
    else rounded = std::fmod(f, 2.0) == 0 ? f : f + 1;
    return true;
}

// ---- Writer -----------------------------------------------------------------------------

void AppendJsonString(std::string& out, std::string_view text) {
    // Every byte that needs escaping is ASCII, and UTF-8 never uses ASCII bytes inside a
    // multi-byte sequence, so the text can be written byte by byte.
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void AppendObject(std::string& out, const JsonObject& object, int indent, int level);

void AppendValue(std::string& out, const JsonValue& value, int indent, int level) {
    switch (value.GetKind()) {
        case JsonValue::Kind::Null: out += "null"; break;
        case JsonValue::Kind::Bool: out += *value.AsBool() ? "true" : "false"; break;
        case JsonValue::Kind::Number: out += NumberJson(*value.AsNumber()); break;
        case JsonValue::Kind::String: AppendJsonString(out, *value.AsString()); break;
        case JsonValue::Kind::Object: AppendObject(out, *value.AsObject(), indent, level + 1); break;
        case JsonValue::Kind::List: {
            // Lists stay on one line; the program's own files never hold any, and this form
            // reads back as the same list.
            const JsonList& list = *value.AsList();
            out += '[';
            for (size_t i = 0; i < list.size(); ++i) {
                if (i) out += ", ";
                AppendValue(out, list[i], indent, level);
            }
            out += ']';
            break;
        }
    }
}

// level 0 is the outermost object; a nested object indents its members one step further
// and its closing brace as deep as the member that holds it.
void AppendObject(std::string& out, const JsonObject& object, int indent, int level) {
    const size_t pad = static_cast<size_t>(std::max(indent, 0));
    out += "{\n";
    const auto& keys = object.Keys();
    for (size_t i = 0; i < keys.size(); ++i) {
        out.append(pad * static_cast<size_t>(level + 1), ' ');
        AppendJsonString(out, keys[i]);
        out += ": ";
        AppendValue(out, object.GetRaw(keys[i]), indent, level);
        if (i + 1 < keys.size()) out += ',';
        out += '\n';
    }
    out.append(pad * static_cast<size_t>(level), ' ');
    out += '}';
}

// ---- Reader -----------------------------------------------------------------------------

class Reader {
public:
    Reader(std::string_view text, size_t position) : text_(text), pos_(position) {}

    size_t Position() const noexcept { return pos_; }

    JsonObject ReadObject(int depth) {
        SkipWhite();
        if (AtEnd() || text_[pos_] != '{') Fail("Expected '{' at ");
        EnterLevel(depth);
        ++pos_;
        JsonObject object;
        SkipWhite();
        if (!AtEnd() && text_[pos_] == '}') {
            ++pos_;
            return object;
        }
        for (;;) {
            std::string name = ReadString();
            SkipWhite();
            if (AtEnd() || text_[pos_] != ':') Fail("Expected ':' at ");
            ++pos_;
            JsonValue value = ReadValue(depth);
            object.Set(name, std::move(value));
            SkipWhite();
            if (AtEnd()) Fail("Expected ',' or '}' at ");
            if (text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (text_[pos_] == '}') {
                ++pos_;
                return object;
            }
            Fail("Expected ',' or '}' at ");
        }
    }

private:
    bool AtEnd() const noexcept { return pos_ >= text_.size(); }

    void SkipWhite() noexcept {
        while (!AtEnd()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++pos_;
        }
    }

    [[noreturn]] void FailAt(const char* message, size_t at) const {
        throw FormatError(std::string(message) + std::to_string(Utf16Index(text_, at)));
    }
    [[noreturn]] void Fail(const char* message) const { FailAt(message, pos_); }

    // Each object or list is one level deeper; a document from the network must not be able
    // to run the reader out of stack.
    void EnterLevel(int depth) const {
        if (depth > JsonObject::kMaxDepth) Fail("Nesting too deep at ");
    }

    bool Follows(std::string_view word) const noexcept {
        return text_.substr(pos_, word.size()) == word;
    }

    JsonValue ReadValue(int depth) {
        SkipWhite();
        if (AtEnd()) throw FormatError("Unexpected end of JSON");
        switch (text_[pos_]) {
            case '"': return JsonValue(ReadString());
            case '{': return JsonValue(std::make_shared<JsonObject>(ReadObject(depth + 1)));
            case '[': return ReadList(depth + 1);
            default: break;
        }
        // Only the lower-case words, and what follows them is the caller's business.
        if (Follows("true")) {
            pos_ += 4;
            return JsonValue(true);
        }
        if (Follows("false")) {
            pos_ += 5;
            return JsonValue(false);
        }
        if (Follows("null")) {
            pos_ += 4;
            return JsonValue();
        }
        return JsonValue(ReadNumber());
    }

    JsonValue ReadList(int depth) {
        EnterLevel(depth);
        ++pos_;
        auto list = std::make_shared<JsonList>();
        SkipWhite();
        if (!AtEnd() && text_[pos_] == ']') {
            ++pos_;
            return JsonValue(std::move(list));
        }
        for (;;) {
            list->push_back(ReadValue(depth));
            SkipWhite();
            if (!AtEnd() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (!AtEnd() && text_[pos_] == ']') {
                ++pos_;
                return JsonValue(std::move(list));
            }
            Fail("Expected ',' or ']' at ");
        }
    }

    double ReadNumber() {
        const size_t start = pos_;
        bool foreignDigit = false;
        while (!AtEnd()) {
            const char c = text_[pos_];
            if (IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-') {
                ++pos_;
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                const unicode::Decoded d = unicode::DecodeUtf8(text_, pos_);
                if (!d.valid || d.cp > 0xFFFF || !IsUnicodeDecimalDigit(d.cp)) break;
                foreignDigit = true;
                pos_ += d.length;
            } else {
                break;
            }
        }
        double value = 0;
        if (foreignDigit || !ParseFloatRun(text_.substr(start, pos_ - start), value))
            FailAt("Bad number at ", start);
        return value;
    }

    static int HexValue(char c) noexcept {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Four characters read as a hexadecimal number, white space around the digits allowed.
    static bool ParseHex4(std::string_view four, char16_t& unit) noexcept {
        std::string_view s = TrimNumberWhite(four);
        if (s.empty()) return false;
        unsigned v = 0;
        for (char c : s) {
            const int h = HexValue(c);
            if (h < 0) return false;
            v = v * 16 + static_cast<unsigned>(h);
        }
        unit = static_cast<char16_t>(v);
        return true;
    }

    std::string ReadString() {
        SkipWhite();
        if (AtEnd() || text_[pos_] != '"') Fail("Expected string at ");
        ++pos_;
        std::string out;
        // Each \u escape gives one UTF-16 code unit; a high surrogate waits here for the low
        // one that completes it. A surrogate left alone cannot be held in UTF-8 and becomes
        // U+FFFD, as it would when the text is written to a UTF-8 file.
        char16_t pendingHigh = 0;
        auto flushPending = [&] {
            if (pendingHigh) unicode::AppendUtf8(out, 0xFFFD);
            pendingHigh = 0;
        };
        for (;;) {
            if (AtEnd()) throw FormatError("Unterminated string");
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                flushPending();
                return out;
            }
            if (c != '\\') {
                flushPending();
                out += c;
                ++pos_;
                continue;
            }
            if (pos_ + 1 >= text_.size()) throw FormatError("Unterminated string");
            const char e = text_[pos_ + 1];
            char16_t unit = 0;
            if (e == 'u' && text_.size() - (pos_ + 2) >= 4 && ParseHex4(text_.substr(pos_ + 2, 4), unit)) {
                pos_ += 6;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    flushPending();
                    pendingHigh = unit;
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    if (pendingHigh) {
                        unicode::AppendUtf8(out, 0x10000 + ((char32_t(pendingHigh) - 0xD800) << 10) + (unit - 0xDC00));
                        pendingHigh = 0;
                    } else {
                        unicode::AppendUtf8(out, 0xFFFD);
                    }
                } else {
                    flushPending();
                    unicode::AppendUtf8(out, unit);
                }
                continue;
            }
            flushPending();
            switch (e) {
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u':
                    // A broken \u escape appends nothing; what follows the u is plain text.
                    break;
                default:
                    // Quote, slash, backslash and any other character stand for themselves;
                    // a multi-byte character's remaining bytes follow as plain text.
                    out += e;
                    break;
            }
            pos_ += 2;
        }
    }

    std::string_view text_;
    size_t pos_;
};

}  // namespace

// ---- JsonValue --------------------------------------------------------------------------

JsonValue::JsonValue(std::shared_ptr<JsonObject> object) {
    if (object) value_ = std::move(object);
}

JsonValue::JsonValue(JsonObject object) : value_(std::make_shared<JsonObject>(std::move(object))) {}

JsonValue::JsonValue(std::shared_ptr<JsonList> list) {
    if (list) value_ = std::move(list);
}

JsonValue::JsonValue(JsonList list) : value_(std::make_shared<JsonList>(std::move(list))) {}

const JsonObject* JsonValue::AsObject() const noexcept {
    const auto* p = std::get_if<std::shared_ptr<JsonObject>>(&value_);
    return p ? p->get() : nullptr;
}

const JsonList* JsonValue::AsList() const noexcept {
    const auto* p = std::get_if<std::shared_ptr<JsonList>>(&value_);
    return p ? p->get() : nullptr;
}

std::shared_ptr<JsonObject> JsonValue::SharedObject() const noexcept {
    const auto* p = std::get_if<std::shared_ptr<JsonObject>>(&value_);
    return p ? *p : nullptr;
}

std::shared_ptr<JsonList> JsonValue::SharedList() const noexcept {
    const auto* p = std::get_if<std::shared_ptr<JsonList>>(&value_);
    return p ? *p : nullptr;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
    if (a.GetKind() != b.GetKind()) return false;
    switch (a.GetKind()) {
        case JsonValue::Kind::Null: return true;
        case JsonValue::Kind::Bool: return *a.AsBool() == *b.AsBool();
        case JsonValue::Kind::Number: return *a.AsNumber() == *b.AsNumber();
        case JsonValue::Kind::String: return *a.AsString() == *b.AsString();
        case JsonValue::Kind::Object: return *a.AsObject() == *b.AsObject();
        case JsonValue::Kind::List: return *a.AsList() == *b.AsList();
    }
    return false;
}

// ---- JsonObject -------------------------------------------------------------------------

void JsonObject::Set(std::string_view key, JsonValue value) {
    auto it = values_.find(key);
    if (it == values_.end()) {
        keys_.emplace_back(key);
        values_.emplace(std::string(key), std::move(value));
    } else {
        it->second = std::move(value);
    }
}

bool JsonObject::Remove(std::string_view key) {
    auto it = values_.find(key);
    if (it == values_.end()) return false;
    values_.erase(it);
    keys_.erase(std::find(keys_.begin(), keys_.end(), key));
    return true;
}

bool JsonObject::Contains(std::string_view key) const { return values_.find(key) != values_.end(); }

JsonValue JsonObject::GetRaw(std::string_view key) const {
    auto it = values_.find(key);
    return it == values_.end() ? JsonValue() : it->second;
}

std::string JsonObject::GetString(std::string_view key, std::string_view def) const {
    auto it = values_.find(key);
    if (it != values_.end()) {
        const JsonValue& v = it->second;
        if (const auto* s = v.AsString()) return *s;
        if (const auto* d = v.AsNumber()) return InvariantNumberText(*d);
        if (const auto* b = v.AsBool()) return *b ? "true" : "false";
    }
    return std::string(def);
}

int32_t JsonObject::GetInt(std::string_view key, int32_t def) const noexcept {
    auto it = values_.find(key);
    if (it == values_.end()) return def;
    const JsonValue& v = it->second;
    if (const auto* s = v.AsString()) {
        int64_t n = 0;
        if (!TryParseInvariantInt64(*s, n) || n < std::numeric_limits<int32_t>::min() ||
            n > std::numeric_limits<int32_t>::max())
            return def;
        return static_cast<int32_t>(n);
    }
    if (const auto* d = v.AsNumber()) {
        double r = 0;
        if (!RoundHalfEven(*d, r)) return def;
        if (r >= 2147483647.0) return std::numeric_limits<int32_t>::max();
        if (r <= -2147483648.0) return std::numeric_limits<int32_t>::min();
        return static_cast<int32_t>(r);
    }
    if (const auto* b = v.AsBool()) return *b ? 1 : 0;
    return def;
}

int64_t JsonObject::GetLong(std::string_view key, int64_t def) const noexcept {
    auto it = values_.find(key);
    if (it == values_.end()) return def;
    const JsonValue& v = it->second;
    if (const auto* s = v.AsString()) {
        int64_t n = 0;
        return TryParseInvariantInt64(*s, n) ? n : def;
    }
    if (const auto* d = v.AsNumber()) {
        double r = 0;
        if (!RoundHalfEven(*d, r)) return def;
        // 2^63 is the first double above the range; -2^63 is exact.
        if (r >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
        if (r <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(r);
    }
    return def;
}

bool JsonObject::GetBool(std::string_view key, bool def) const noexcept {
    auto it = values_.find(key);
    if (it == values_.end()) return def;
    const JsonValue& v = it->second;
    if (const auto* b = v.AsBool()) return *b;
    if (const auto* d = v.AsNumber()) return *d != 0;
    if (const auto* s = v.AsString()) {
        auto equalsIgnoreCase = [](std::string_view a, std::string_view b) {
            return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                       return (x >= 'A' && x <= 'Z' ? x + 32 : x) == y;
                   });
        };
        if (equalsIgnoreCase(*s, "true")) return true;
        if (equalsIgnoreCase(*s, "false")) return false;
    }
    return def;
}

std::string JsonObject::ToJson(int indent) const {
    std::string out;
    AppendObject(out, *this, indent, 0);
    return out;
}

JsonObject JsonObject::ParseObject(std::string_view text, std::size_t& position) {
    Reader reader(text, position);
    JsonObject object = reader.ReadObject(1);
    position = reader.Position();
    return object;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
    if (a.keys_ != b.keys_) return false;
    for (const auto& key : a.keys_)
        if (!(a.values_.find(key)->second == b.values_.find(key)->second)) return false;
    return true;
}

// ---- Free helpers -----------------------------------------------------------------------

std::string DecodeFileText(std::string_view bytes) {
    auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
    std::string out;
    if (starts("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    else {
        int unitSize = 0;
        bool bigEndian = false;
        if (starts(std::string_view("\xFF\xFE\x00\x00", 4))) unitSize = 4;
        else if (starts(std::string_view("\x00\x00\xFE\xFF", 4))) unitSize = 4, bigEndian = true;
        else if (starts("\xFF\xFE")) unitSize = 2;
        else if (starts("\xFE\xFF")) unitSize = 2, bigEndian = true;
        if (unitSize) {
            bytes.remove_prefix(static_cast<size_t>(unitSize));
            const size_t count = bytes.size() / static_cast<size_t>(unitSize);
            auto unitAt = [&](size_t k) {
                uint32_t v = 0;
                for (int b = 0; b < unitSize; ++b) {
                    const auto byte = static_cast<unsigned char>(bytes[k * unitSize + static_cast<size_t>(b)]);
                    v |= uint32_t(byte) << (8 * (bigEndian ? unitSize - 1 - b : b));
                }
                return v;
            };
            for (size_t k = 0; k < count; ++k) {
                uint32_t u = unitAt(k);
                if (unitSize == 2 && u >= 0xD800 && u <= 0xDBFF && k + 1 < count) {
                    const uint32_t lo = unitAt(k + 1);
                    if (lo >= 0xDC00 && lo <= 0xDFFF) {
                        unicode::AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                        ++k;
                        continue;
                    }
                }
                if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) u = 0xFFFD;
                unicode::AppendUtf8(out, u);
            }
            if (bytes.size() % static_cast<size_t>(unitSize)) unicode::AppendUtf8(out, 0xFFFD);
            return out;
        }
    }
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const unicode::Decoded d = unicode::DecodeUtf8(bytes, i);
        if (d.valid) out.append(bytes.substr(i, d.length));
        else unicode::AppendUtf8(out, 0xFFFD);
        i += d.length;
    }
    return out;
}

namespace {

// The shortest digits that read back as the same value of T, in fixed notation for decimal
// exponents from -4 to maxFixed, else in the exponent form.
template <class T>
std::string ShortestNumberText(T value, int maxFixed) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, ec == std::errc() ? static_cast<size_t>(end - buf) : 0);
    // sci is "-d.ddde+XX": split it into sign, significant digits and decimal exponent.
    std::string out;
    if (!sci.empty() && sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const size_t ePos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, ePos))
        if (c != '.') digits += c;
    int exponent = 0;
    std::string_view expText = sci.substr(ePos + 1);
    if (!expText.empty() && expText.front() == '+') expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);

    if (exponent > -5 && exponent <= maxFixed) {
        if (exponent >= 0) {
            const size_t intLen = static_cast<size_t>(exponent) + 1;
            if (digits.size() <= intLen) {
                out += digits;
                out.append(intLen - digits.size(), '0');
            } else {
                out += digits.substr(0, intLen);
                out += '.';
                out += digits.substr(intLen);
            }
        } else {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out += digits;
        }
        return out;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += 'E';
    out += exponent < 0 ? '-' : '+';
    const int absExp = exponent < 0 ? -exponent : exponent;
    if (absExp < 10) out += '0';
    out += std::to_string(absExp);
    return out;
}

}  // namespace

std::string InvariantNumberText(double value) { return ShortestNumberText(value, 14); }

std::string InvariantFloatText(float value) { return ShortestNumberText(value, 6); }

bool TryParseInvariantDouble(std::string_view text, double& value) noexcept {
    return ParseFloatRun(TrimNumberWhite(text), value);
}

bool TryParseInvariantInt64(std::string_view text, int64_t& value) noexcept {
    std::string_view s = TrimNumberWhite(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return false;
    // Accumulate as a negative number so that the most negative value fits.
    int64_t acc = 0;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    for (char c : s) {
        if (!IsDigit(c)) return false;
        const int d = c - '0';
        if (acc < (kMin + d) / 10) return false;
        acc = acc * 10 - d;
    }
    if (!negative) {
        if (acc == kMin) return false;
        acc = -acc;
    }
    value = acc;
    return true;
}

}  // namespace twr
