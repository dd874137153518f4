// The run query language as plain C++: a query text becomes a SQL condition
// over the index's tables with its values bound as parameters, never spliced
// into the SQL. Column names come only from a fixed list; KPI and parameter
// names are bound values like any other.
//
//   kpi.cd < 0.25 and (solver = 'sample_aero' or not status = "error")
//
// Fields: product, solver, domain, status, timestamp, fingerprint, image,
// run_id (text); kpi.<name> (number); param.<name> (number or text).
// Operators: = != < <= > >= in (...) like, each also as `not in`, `not like`;
// and, or, not, parentheses; `not` binds tightest, then `and`, then `or`.
// Strings take single or double quotes with backslash escapes (\\ \' \" \n
// \t); a quote may also be doubled ('it''s').
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvane::run_index {

// A value bound to a statement: a number or a text.
using Value = std::variant<double, std::string>;

// A condition over `runs r`, its `?` placeholders in the order of `values`.
struct Condition {
    std::string sql;
    std::vector<Value> values;
};

// A query that does not parse: the reason, and the column (counted in
// characters from 1) where the parser gave up.
class QueryError : public std::runtime_error {
  public:
    QueryError(std::string reason, std::size_t column, std::string query);
    const std::string& reason() const { return reason_; }
    std::size_t column() const { return column_; }
    const std::string& query() const { return query_; }
    // "query error at column 12: expected a value after '<'", then the query,
    // then a caret under the column.
    std::string full_message() const;

  private:
    std::string reason_;
    std::size_t column_;
    std::string query_;
};

// The condition a query stands for; an empty query (or only blanks) is "1",
// every run.
Condition compile_query(std::string_view query);

// The SQL expression that orders runs by `field` (a field of the language),
// with the values its placeholders take. Throws QueryError (column 1) for an
// unknown field.
Condition order_expression(std::string_view field);

// The fields, for messages: "product, solver, ..., kpi.<name>, param.<name>".
std::string field_list();

// `text` as a double-quoted string of the language: compile_query reads it
// back as exactly `text`.
std::string query_string(std::string_view text);

}  // namespace orvane::run_index
