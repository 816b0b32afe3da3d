// A small JSON reader, enough to check what hct-sim --json writes: a document parsed into values
// whose members and items the tests look at. Throws std::runtime_error on anything not JSON.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
        if (Peek() != '\0') throw std::runtime_error("text after the JSON value");
        return v;
    }

private:
    // The next character after blanks, '\0' at the end; `take` steps over it when it is `c`.
    char Peek() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
        return i_ < s_.size() ? s_[i_] : '\0';
    }
    bool Take(char c) { return Peek() == c ? (++i_, true) : false; }
    void Expect(char c) {
        if (!Take(c)) throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(i_));
    }
    std::string Str() {
        Expect('"');
        std::string out;
        for (char c; (c = s_.at(i_++)) != '"';) {
            if (static_cast<unsigned char>(c) < 0x20) throw std::runtime_error("raw control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = s_.at(i_++);
            if (e == 'u') {
                out += char(std::stoi(s_.substr(i_, 4), nullptr, 16));
                i_ += 4;
            } else {
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            }
        }
        return out;
    }
    JsonValue Value() {
        JsonValue v;
        const char c = Peek();
        if (Take('{')) {
            v.kind = JsonValue::Object;
            if (!Take('}')) {
                do {
                    const std::string key = Str();
                    Expect(':');
                    v.members[key] = Value();
                } while (Take(','));
                Expect('}');
            }
        } else if (Take('[')) {
            v.kind = JsonValue::Array;
            if (!Take(']')) {
                do v.items.push_back(Value());
                while (Take(','));
                Expect(']');
            }
        } else if (c == '"') {
            v.kind = JsonValue::String;
            v.text = Str();
        } else {
            // true, false, null or a number: a word up to the next separator.
            const size_t end = std::min(s_.find_first_of(",]} \n", i_), s_.size());
            const std::string word = s_.substr(i_, end - i_);
            i_ = end;
            char *rest = nullptr;
            if (word == "true" || word == "false") {
                v.kind = JsonValue::Bool;
                v.boolean = word == "true";
            } else if (word != "null") {
                v.kind = JsonValue::Number;
                v.number = std::strtod(word.c_str(), &rest);
                if (word.empty() || *rest != '\0') throw std::runtime_error("not a JSON value: \"" + word + "\"");
            }
        }
        return v;
    }
    const std::string &s_;
    size_t i_ = 0;
};

inline JsonValue ParseJson(const std::string &text) { return JsonReader(text).Document(); }

}  // namespace tooltest
