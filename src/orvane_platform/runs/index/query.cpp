#include "query.h"

#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <utility>

#include "native/text.h"

namespace orvane::run_index {

namespace {

// Parentheses and `not`s nest at most this deep: the parser recurses on them.
constexpr std::size_t kMaxNesting = 100;
// SQLite takes at most 32766 bound values in one statement.
constexpr std::size_t kMaxValues = 10000;

// A column of the runs table, and whether a run may lack it.
struct Column {
    const char* field;
    const char* column;
    bool nullable;
};

constexpr Column kColumns[] = {
    {"product", "r.product", false},    {"solver", "r.solver", true},
    {"domain", "r.domain", true},       {"status", "r.status", true},
    {"timestamp", "r.timestamp", true}, {"fingerprint", "r.fingerprint", true},
    {"image", "r.image", true},         {"run_id", "r.run_id", false},
};

enum class Kind { word, string, number, op, open, close, comma, end };

struct Token {
    Kind kind;
    std::string text;  // a word or an operator as written, a string's value
    double number = 0;
    std::size_t offset;  // in bytes
};

bool is_word_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c) || c == '.'; }

// The parts one after the other. (GCC 12 warns falsely on "literal" + a
// temporary string.)
std::string joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

// Turns the query into tokens, and knows where each one stands.
class Lexer {
  public:
    explicit Lexer(std::string_view query) : query_(query) {}

    [[noreturn]] void fail(std::string reason, std::size_t offset) const {
        throw QueryError(std::move(reason), column(offset), std::string(query_));
    }

    // Characters before `offset`, plus one: UTF-8 continuation bytes do not count.
    std::size_t column(std::size_t offset) const {
        std::size_t count = 1;
        for (std::size_t i = 0; i < offset && i < query_.size(); ++i) {
            if ((static_cast<unsigned char>(query_[i]) & 0xC0) != 0x80) ++count;
        }
        return count;
    }

    std::vector<Token> tokens() {
        std::vector<Token> found;
        while (true) {
            while (pos_ < query_.size() && (query_[pos_] == ' ' || query_[pos_] == '\t' ||
                                            query_[pos_] == '\n' || query_[pos_] == '\r')) {
                ++pos_;
            }
            if (pos_ >= query_.size()) break;
            found.push_back(next());
        }
        found.push_back({Kind::end, "", 0, query_.size()});
        return found;
    }

  private:
    Token next() {
        const std::size_t start = pos_;
        const char c = query_[pos_];
        if (c == '\'' || c == '"') return string(start);
        const bool signed_number = (c == '-' || c == '+') && pos_ + 1 < query_.size() &&
                                   (is_digit(query_[pos_ + 1]) || query_[pos_ + 1] == '.');
        if (is_digit(c) || signed_number ||
            (c == '.' && pos_ + 1 < query_.size() && is_digit(query_[pos_ + 1]))) {
            return number(start);
        }
        if (is_word_start(c)) {
            while (pos_ < query_.size() && is_word_char(query_[pos_])) ++pos_;
            return {Kind::word, std::string(query_.substr(start, pos_ - start)), 0, start};
        }
        if (c == '(' || c == ')' || c == ',' || c == '=') {
            ++pos_;
            const Kind kind = c == '('   ? Kind::open
                              : c == ')' ? Kind::close
                              : c == ',' ? Kind::comma
                                         : Kind::op;
            return {kind, std::string(1, c), 0, start};
        }
        const char after = pos_ + 1 < query_.size() ? query_[pos_ + 1] : '\0';
        if (c == '!' && after == '=') {
            pos_ += 2;
            return {Kind::op, "!=", 0, start};
        }
        if (c == '<' || c == '>') {
            // <, <=, >, >=, and <> for !=
            const bool two = after == '=' || (c == '<' && after == '>');
            pos_ += two ? 2 : 1;
            const std::string op(query_.substr(start, pos_ - start));
            return {Kind::op, op == "<>" ? "!=" : op, 0, start};
        }
        // One whole character, however many bytes it takes.
        std::size_t end = pos_ + 1;
        while (end < query_.size() && (static_cast<unsigned char>(query_[end]) & 0xC0) == 0x80)
            ++end;
        fail("unexpected character '" + std::string(query_.substr(pos_, end - pos_)) + "'", start);
    }

    Token string(std::size_t start) {
        const char quote = query_[pos_++];
        std::string value;
        while (true) {
            if (pos_ >= query_.size()) fail("unterminated string", start);
            const char c = query_[pos_];
            if (c == quote) {
                if (pos_ + 1 < query_.size() && query_[pos_ + 1] == quote) {
                    value += quote;  // a doubled quote stands for itself
                    pos_ += 2;
                    continue;
                }
                ++pos_;
                return {Kind::string, std::move(value), 0, start};
            }
            if (c == '\\') {
                if (pos_ + 1 >= query_.size()) fail("unterminated string", start);
                const char escaped = query_[pos_ + 1];
                switch (escaped) {
                    case '\\':
                    case '\'':
                    case '"':
                        value += escaped;
                        break;
                    case 'n':
                        value += '\n';
                        break;
                    case 't':
                        value += '\t';
                        break;
                    default:
                        fail(std::string("unknown escape '\\") + escaped +
                                 "' (use \\\\, \\', \\\", \\n or \\t)",
                             pos_);
                }
                pos_ += 2;
                continue;
            }
            value += c;
            ++pos_;
        }
    }

    Token number(std::size_t start) {
        if (query_[pos_] == '-' || query_[pos_] == '+') ++pos_;
        while (pos_ < query_.size() && is_digit(query_[pos_])) ++pos_;
        if (pos_ < query_.size() && query_[pos_] == '.') {
            ++pos_;
            while (pos_ < query_.size() && is_digit(query_[pos_])) ++pos_;
        }
        if (pos_ < query_.size() && (query_[pos_] == 'e' || query_[pos_] == 'E')) {
            std::size_t exponent = pos_ + 1;
            if (exponent < query_.size() && (query_[exponent] == '-' || query_[exponent] == '+')) {
                ++exponent;
            }
            if (exponent < query_.size() && is_digit(query_[exponent])) {
                pos_ = exponent;
                while (pos_ < query_.size() && is_digit(query_[pos_])) ++pos_;
            }
        }
        // "12abc" or "1.2.3" is a mistake, not a number followed by a word.
        std::size_t end = pos_;
        while (end < query_.size() && is_word_char(query_[end])) ++end;
        const std::string text(query_.substr(start, end - start));
        if (end != pos_) fail("malformed number '" + text + "'", start);
        const double value = std::strtod(text.c_str(), nullptr);
        if (!std::isfinite(value)) fail("number out of range '" + text + "'", start);
        return {Kind::number, text, value, start};
    }

    std::string_view query_;
    std::size_t pos_ = 0;
};

// What the field names: a column of runs, or a KPI or parameter by name.
struct Field {
    enum class Type { column, kpi, param } type;
    const Column* column = nullptr;
    std::string name;  // the KPI's or parameter's
    std::string written;
};

std::optional<Field> field_of(std::string_view word) {
    for (const Column& column : kColumns) {
        if (word == column.field) return Field{Field::Type::column, &column, "", std::string(word)};
    }
    for (auto [prefix, type] : {std::pair{std::string_view("kpi."), Field::Type::kpi},
                                std::pair{std::string_view("param."), Field::Type::param}}) {
        if (word.starts_with(prefix) && word.size() > prefix.size()) {
            return Field{type, nullptr, std::string(word.substr(prefix.size())), std::string(word)};
        }
    }
    return std::nullopt;
}

std::string describe(const Token& token) {
    if (token.kind == Kind::end) return "the end of the query";
    if (token.kind == Kind::string) return query_string(token.text);
    return "'" + token.text + "'";
}

// and/or chains joined as balanced trees, so that SQLite's expression depth
// grows with the logarithm of their length.
std::string join_balanced(const std::vector<std::string>& parts, std::size_t begin, std::size_t end,
                          const char* op) {
    if (end - begin == 1) return parts[begin];
    const std::size_t middle = begin + (end - begin) / 2;
    return joined({"(", join_balanced(parts, begin, middle, op), " ", op, " ",
                   join_balanced(parts, middle, end, op), ")"});
}

class Parser {
  public:
    explicit Parser(std::string_view query) : lexer_(query), tokens_(lexer_.tokens()) {}

    Condition parse() {
        if (peek().kind == Kind::end) return {"1", {}};
        std::string sql = or_expression();
        if (peek().kind == Kind::close) fail("unmatched ')'", peek());
        if (peek().kind != Kind::end) {
            fail("expected 'and', 'or' or the end of the query, found " + describe(peek()), peek());
        }
        return {std::move(sql), std::move(values_)};
    }

  private:
    const Token& peek() const { return tokens_[pos_]; }
    const Token& take() { return tokens_[pos_ == tokens_.size() - 1 ? pos_ : pos_++]; }
    bool at_keyword(const char* keyword) const {
        return peek().kind == Kind::word && text::equals_ignore_ascii_case(peek().text, keyword);
    }
    [[noreturn]] void fail(std::string reason, const Token& at) const {
        lexer_.fail(std::move(reason), at.offset);
    }

    std::string or_expression() {
        std::vector<std::string> parts{and_expression()};
        while (at_keyword("or")) {
            take();
            parts.push_back(and_expression());
        }
        return join_balanced(parts, 0, parts.size(), "OR");
    }

    std::string and_expression() {
        std::vector<std::string> parts{unary()};
        while (at_keyword("and")) {
            take();
            parts.push_back(unary());
        }
        return join_balanced(parts, 0, parts.size(), "AND");
    }

    std::string unary() {
        if (++depth_ > kMaxNesting) fail("too deeply nested (at most 100 levels)", peek());
        std::string sql;
        if (at_keyword("not")) {
            take();
            sql = joined({"NOT ", unary()});
        } else if (peek().kind == Kind::open) {
            const Token& open = take();
            // Chains come back parenthesized, and a comparison binds
            // tighter than NOT, AND and OR: no parentheses to add.
            sql = or_expression();
            if (peek().kind != Kind::close) {
                fail("expected ')' to close the '(' at column " +
                         std::to_string(lexer_.column(open.offset)) + ", found " + describe(peek()),
                     peek());
            }
            take();
        } else {
            sql = comparison();
        }
        --depth_;
        return sql;
    }

    Field field() {
        const Token& token = peek();
        if (token.kind != Kind::word || at_keyword("and") || at_keyword("or") || at_keyword("in") ||
            at_keyword("like")) {
            fail("expected a field (" + field_list() + "), found " + describe(token), token);
        }
        std::optional<Field> found = field_of(token.text);
        if (!found) {
            if (token.text == "kpi." || token.text == "param.") {
                fail("'" + token.text + "' needs a name, for example kpi.cd or param.speed_kmh",
                     token);
            }
            fail("unknown field '" + token.text + "'; the fields are " + field_list(), token);
        }
        take();
        return *found;
    }

    // A value of the field: text fields take strings, KPIs numbers.
    Value value(const Field& field, const std::string& after) {
        const Token& token = peek();
        if (token.kind == Kind::word && field.type != Field::Type::kpi && !at_keyword("and") &&
            !at_keyword("or") && !at_keyword("not")) {
            fail(joined({"text goes in quotes: '", token.text, "'"}), token);
        }
        if (token.kind != Kind::string && token.kind != Kind::number) {
            fail("expected a value after '" + after + "'", token);
        }
        if (field.type == Field::Type::column && token.kind != Kind::string) {
            fail(field.written + " holds text: put " + token.text + " in quotes", token);
        }
        if (field.type == Field::Type::kpi && token.kind != Kind::number) {
            fail(field.written + " holds numbers, not the text " + describe(token), token);
        }
        take();
        if (values_.size() >= kMaxValues) fail("too many values (at most 10000)", token);
        if (token.kind == Kind::number) return token.number;
        return token.text;
    }

    // The condition on the field's value: for a column the column itself,
    // for a KPI or parameter its row in run_kpis or run_params.
    std::string constrain(const Field& field, const std::string& value_condition) {
        if (field.type == Field::Type::column) {
            const std::string test = joined({field.column->column, " ", value_condition});
            if (!field.column->nullable) return test;
            return joined({"(", field.column->column, " IS NOT NULL AND ", test, ")"});
        }
        const char* table = field.type == Field::Type::kpi ? "run_kpis" : "run_params";
        return joined({"r.id IN (SELECT run FROM ", table, " WHERE name = ? AND value ",
                       value_condition, ")"});
    }

    std::string comparison() {
        Field subject = field();
        if (subject.type != Field::Type::column) values_.emplace_back(subject.name);
        bool negated = false;
        if (at_keyword("not")) {
            take();
            negated = true;
            if (!at_keyword("in") && !at_keyword("like")) {
                fail("expected 'in' or 'like' after 'not'", peek());
            }
        }
        if (at_keyword("in")) return in_list(subject, negated);
        if (at_keyword("like")) return like(subject, negated);
        if (peek().kind != Kind::op) {
            fail("expected an operator (= != < <= > >= in like) after '" + subject.written +
                     "', found " + describe(peek()),
                 peek());
        }
        const std::string op = take().text;
        Value bound = value(subject, op);
        const bool ordering = op != "=" && op != "!=";
        std::string condition = (op == "!=" ? "<>" : op) + " ?";
        // A parameter holds numbers and texts in one column, and SQLite sorts
        // every number before every text: an order comparison stays within
        // the value's own kind (and within the index's range).
        if (subject.type == Field::Type::param && ordering) {
            condition +=
                std::holds_alternative<double>(bound) ? " AND value < ''" : " AND value >= ''";
        }
        values_.push_back(std::move(bound));
        return constrain(subject, condition);
    }

    std::string in_list(const Field& subject, bool negated) {
        const Token& keyword = take();
        if (peek().kind != Kind::open) fail("expected '(' after 'in'", peek());
        take();
        std::string placeholders;
        while (true) {
            values_.push_back(value(subject, placeholders.empty() ? "(" : ","));
            placeholders += placeholders.empty() ? "?" : ", ?";
            if (peek().kind == Kind::comma) {
                take();
                continue;
            }
            if (peek().kind == Kind::close) break;
            fail("expected ',' or ')' in the list after '" + keyword.text + "', found " +
                     describe(peek()),
                 peek());
        }
        take();
        return constrain(subject, std::string(negated ? "NOT IN (" : "IN (") + placeholders + ")");
    }

    std::string like(const Field& subject, bool negated) {
        const Token& keyword = take();
        if (subject.type == Field::Type::kpi) {
            fail("'like' matches text, and " + subject.written + " holds numbers", keyword);
        }
        if (peek().kind != Kind::string) fail("expected a quoted pattern after 'like'", peek());
        values_.push_back(take().text);
        return constrain(subject, negated ? "NOT LIKE ?" : "LIKE ?");
    }

    Lexer lexer_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
    std::vector<Value> values_;
};

}  // namespace

QueryError::QueryError(std::string reason, std::size_t column, std::string query)
    : std::runtime_error("query error at column " + std::to_string(column) + ": " + reason),
      reason_(std::move(reason)),
      column_(column),
      query_(std::move(query)) {}

std::string QueryError::full_message() const {
    return std::string(what()) + "\n  " + query_ + "\n  " + std::string(column_ - 1, ' ') + "^";
}

Condition compile_query(std::string_view query) { return Parser(query).parse(); }

Condition order_expression(std::string_view field) {
    std::optional<Field> found = field_of(field);
    if (!found) {
        throw QueryError(
            "unknown field '" + std::string(field) + "'; the fields are " + field_list(), 1,
            std::string(field));
    }
    if (found->type == Field::Type::column) return {found->column->column, {}};
    const char* table = found->type == Field::Type::kpi ? "run_kpis" : "run_params";
    return {std::string("(SELECT value FROM ") + table + " WHERE run = r.id AND name = ?)",
            {found->name}};
}

std::string field_list() {
    std::string list;
    for (const Column& column : kColumns) list += std::string(column.field) + ", ";
    return list + "kpi.<name>, param.<name>";
}

std::string query_string(std::string_view text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') result += '\\';
        result += c;
    }
    return result + "\"";
}

}  // namespace orvane::run_index
