// A streaming JSON writer: the caller says what comes next, the writer keeps
// the nesting stack, places the commas and closes what is still open.
#ifndef DORVEX_CLI_JSON_H
#define DORVEX_CLI_JSON_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace dvcli {

class JsonWriter {
  public:
    explicit JsonWriter(std::FILE *out);
    ~JsonWriter() { flush(); }
    JsonWriter(const JsonWriter &) = delete;
    JsonWriter &operator=(const JsonWriter &) = delete;

    // An array whose elements each start on a new line when `lines`.
    JsonWriter &begin_array(bool lines = false);
    JsonWriter &begin_object();
    // Closes the innermost array or object.
    JsonWriter &end();
    // The name of the next member of an object (plain ASCII).
    JsonWriter &key(std::string_view name);
    // The next key or element starts on a new line.
    JsonWriter &line_break();

    JsonWriter &str(std::u32string_view cps);
    // Host text: UTF-8, or else its bytes taken as Latin-1.
    JsonWriter &str_utf8(std::string_view text);
    JsonWriter &num(uint64_t n);
    JsonWriter &boolean(bool b);
    JsonWriter &null();
    // Closes whatever is open and ends the document with a newline.
    void finish();
    void flush();

  private:
    void item();
    void raw(std::string_view s);
    struct Level {
        bool array;
        bool lines;
        bool empty = true;
    };
    std::FILE *out_;
    std::vector<Level> stack_;
    std::string buf_;
    bool after_key_ = false;
    bool break_ = false;
};

} // namespace dvcli

#endif
