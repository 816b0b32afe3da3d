// A small JSON reader, enough to check what hct-sim --json writes: a document parsed into values
// whose members and items the tests look at, or compare whole.
#pragma once

#include <cctype>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tooltest {

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
    const JsonValue &operator[](const std::string &key) const { return members.at(key); }
    const JsonValue &operator[](size_t i) const { return items.at(i); }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &text) : s_(text) {}
    JsonValue Document() {
        JsonValue v = Value();
        Space();
        if (i_ != s_.size()) throw std::runtime_error("text after the JSON value");
        return v;
    }

private:
    void Space() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    void Expect(char c) {
        Space();
        if (i_ >= s_.size() || s_[i_] != c) throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(i_));
        ++i_;
    }
    bool Next(char c) {
        Space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    std::string Str() {
        Expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (static_cast<unsigned char>(c) < 0x20) throw std::runtime_error("raw control character in string");
            if (c == '\\') {
                const char e = s_.at(i_++);
                if (e == 'u') {
                    out += char(std::stoi(s_.substr(i_, 4), nullptr, 16));
                    i_ += 4;
                } else {
                    out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            } else {
                out += c;
            }
        }
        Expect('"');
        return out;
    }
    JsonValue Value() {
        Space();
        JsonValue v;
        if (i_ >= s_.size()) throw std::runtime_error("unexpected end");
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = JsonValue::Object;
            if (Next('}')) return v;
            do {
                std::string key = Str();
                Expect(':');
                v.members[key] = Value();
            } while (Next(','));
            Expect('}');
        } else if (c == '[') {
            ++i_;
            v.kind = JsonValue::Array;
            if (Next(']')) return v;
            do v.items.push_back(Value());
            while (Next(','));
            Expect(']');
        } else if (c == '"') {
            v.kind = JsonValue::String;
            v.text = Str();
        } else if (s_.compare(i_, 4, "true") == 0 || s_.compare(i_, 5, "false") == 0) {
            v.kind = JsonValue::Bool;
            v.boolean = s_[i_] == 't';
            i_ += v.boolean ? 4 : 5;
        } else if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
        } else {
            size_t used = 0;
            v.kind = JsonValue::Number;
            v.number = std::stod(s_.substr(i_), &used);
            i_ += used;
        }
        return v;
    }
    const std::string &s_;
    size_t i_ = 0;
};

inline JsonValue ParseJson(const std::string &text) { return JsonReader(text).Document(); }

}  // namespace tooltest
