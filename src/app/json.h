#pragma once
// The program's own small JSON model: an object that keeps its members in first-stored
// order (so a settings file keeps its layout and its unknown keys through a load and a
// save), typed reads that never fail, a one-member-per-line writer and a lenient reader.
//
// Text is UTF-8 throughout. Positions passed to and from ParseObject are byte offsets into
// the UTF-8 text; positions inside error messages count UTF-16 code units, so that they read
// the same as in any other tool that shows the file as text.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace twr {

class JsonObject;
class JsonValue;
using JsonList = std::vector<JsonValue>;

// One JSON value: null, a boolean, a number (always a double), a text, a nested object or a
// list. Nested objects and lists are held by shared pointer: a nested object stored in two
// places is one object.
class JsonValue {
public:
    enum class Kind { Null, Bool, Number, String, Object, List };

    JsonValue() noexcept = default;
    JsonValue(std::nullptr_t) noexcept {}
    JsonValue(bool value) noexcept : value_(value) {}
    JsonValue(double value) noexcept : value_(value) {}
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    JsonValue(T value) noexcept : value_(static_cast<double>(value)) {}
    JsonValue(std::string value) : value_(std::move(value)) {}
    JsonValue(std::string_view value) : value_(std::string(value)) {}
    // A null pointer makes a null value.
    JsonValue(const char* value) {
        if (value) value_ = std::string(value);
    }
    // A null pointer makes a null value.
    JsonValue(std::shared_ptr<JsonObject> object);
    JsonValue(JsonObject object);
    JsonValue(std::shared_ptr<JsonList> list);
    JsonValue(JsonList list);

    [[nodiscard]] Kind GetKind() const noexcept { return static_cast<Kind>(value_.index()); }
    [[nodiscard]] bool IsNull() const noexcept { return GetKind() == Kind::Null; }

    // The held value when it is of that kind, else nullptr.
    [[nodiscard]] const bool* AsBool() const noexcept { return std::get_if<bool>(&value_); }
    [[nodiscard]] const double* AsNumber() const noexcept { return std::get_if<double>(&value_); }
    [[nodiscard]] const std::string* AsString() const noexcept {
        return std::get_if<std::string>(&value_);
    }
    [[nodiscard]] const JsonObject* AsObject() const noexcept;
    [[nodiscard]] const JsonList* AsList() const noexcept;
    // The shared holders, for callers that want to keep or change the nested value itself.
    [[nodiscard]] std::shared_ptr<JsonObject> SharedObject() const noexcept;
    [[nodiscard]] std::shared_ptr<JsonList> SharedList() const noexcept;

    // Deep comparison: same kind and same content (numbers by ==, objects with their key order).
    friend bool operator==(const JsonValue& a, const JsonValue& b);

private:
    // The order of the alternatives is the order of Kind.
    std::variant<std::monostate, bool, double, std::string, std::shared_ptr<JsonObject>,
                 std::shared_ptr<JsonList>>
        value_;
};

class JsonObject {
public:
    // The deepest nesting of objects and lists the reader accepts (the outermost object is 1).
    static constexpr int kMaxDepth = 256;

    JsonObject() = default;

    // The one store rule of the program: a new key goes last, an existing key keeps its place
    // and takes the new value.
    void Set(std::string_view key, JsonValue value);
    // Removes the member from the values and the key order; false when it was not there.
    bool Remove(std::string_view key);
    [[nodiscard]] bool Contains(std::string_view key) const;
    // Member names in first-stored order.
    [[nodiscard]] const std::vector<std::string>& Keys() const noexcept { return keys_; }
    [[nodiscard]] std::size_t Count() const noexcept { return keys_.size(); }

    // The stored value; a null value when the key is absent or holds null.
    [[nodiscard]] JsonValue GetRaw(std::string_view key) const;
    // Typed reads: the default for an absent key, a kind without a conversion, or a text
    // that does not convert. They never throw (GetString may only fail to allocate).
    [[nodiscard]] std::string GetString(std::string_view key, std::string_view def) const;
    [[nodiscard]] int32_t GetInt(std::string_view key, int32_t def) const noexcept;
    [[nodiscard]] int64_t GetLong(std::string_view key, int64_t def) const noexcept;
    [[nodiscard]] bool GetBool(std::string_view key, bool def) const noexcept;

    // "{", LF, one line per member indented by `indent` spaces, "}" (no final line feed).
    [[nodiscard]] std::string ToJson(int indent = 4) const;

    // Reads one object starting at `position` (a byte offset into the UTF-8 text) and leaves
    // `position` just after its closing brace; text after that is not examined. Throws
    // FormatError with a message naming the position on bad syntax.
    [[nodiscard]] static JsonObject ParseObject(std::string_view text, std::size_t& position);
    [[nodiscard]] static JsonObject ParseObject(std::string_view text) {
        std::size_t position = 0;
        return ParseObject(text, position);
    }

    // Deep comparison including the key order.
    friend bool operator==(const JsonObject& a, const JsonObject& b);

private:
    std::vector<std::string> keys_;
    std::map<std::string, JsonValue, std::less<>> values_;
};

// The text of a file read as bytes: a UTF-8 byte-order mark is dropped, a UTF-16 or UTF-32
// byte-order mark selects that encoding, anything else is taken as UTF-8. Invalid sequences
// become U+FFFD, so the result is always valid UTF-8.
[[nodiscard]] std::string DecodeFileText(std::string_view bytes);

// Invariant-culture number texts shared by the JSON model and the settings.
// The shortest text that reads back as the same double: fixed notation for decimal exponents
// from -4 to 14, else a mantissa, "E", a sign and at least two exponent digits (1E-05,
// 1E+15). Infinities and NaN give "Infinity", "-Infinity" and "NaN".
[[nodiscard]] std::string InvariantNumberText(double value);
// The same for a single-precision value, its own shortest digits, fixed up to exponent 6.
[[nodiscard]] std::string InvariantFloatText(float value);
// A floating-point number: white space at both ends, one leading sign, a decimal point and an
// exponent allowed, no group separators; a magnitude beyond the range reads as infinity.
[[nodiscard]] bool TryParseInvariantDouble(std::string_view text, double& value) noexcept;
// A decimal integer: white space at both ends and one leading sign allowed; false when it
// does not parse or does not fit the 64-bit range.
[[nodiscard]] bool TryParseInvariantInt64(std::string_view text, int64_t& value) noexcept;

}  // namespace twr
