// The run query language: the SQL a query compiles to, its bound values, and
// where a query that does not parse goes wrong.
#include <gtest/gtest.h>

#include <string>

#include "runs/index/query.h"

namespace {

using namespace orvane::run_index;

std::string sql(const std::string& query) { return compile_query(query).sql; }

TEST(Compile, EmptyQueryMatchesEveryRun) {
    EXPECT_EQ(sql(""), "1");
    EXPECT_EQ(sql("  \t\n"), "1");
}

TEST(Compile, ValuesAreBoundNeverSpliced) {
    const Condition condition = compile_query("kpi.cd < 0.25 and solver = 'x'' or 1=1 --'");
    EXPECT_EQ(condition.sql,
              "(r.id IN (SELECT run FROM run_kpis WHERE name = ? AND value < ?) AND "
              "(r.solver IS NOT NULL AND r.solver = ?))");
    ASSERT_EQ(condition.values.size(), 3u);
    EXPECT_EQ(std::get<std::string>(condition.values[0]), "cd");
    EXPECT_EQ(std::get<double>(condition.values[1]), 0.25);
    EXPECT_EQ(std::get<std::string>(condition.values[2]), "x' or 1=1 --");
}

struct Shape {
    std::string query;
    std::string sql;
};

class Precedence : public testing::TestWithParam<Shape> {};

TEST_P(Precedence, GroupsAsWritten) { EXPECT_EQ(sql(GetParam().query), GetParam().sql); }

// `not` binds tightest, then `and`, then `or`; run_id and product are never NULL.
INSTANTIATE_TEST_SUITE_P(
    Table, Precedence,
    testing::Values(
        Shape{"run_id = 'a' or run_id = 'b' and product = 'c'",
              "(r.run_id = ? OR (r.run_id = ? AND r.product = ?))"},
        Shape{"(run_id = 'a' or run_id = 'b') and product = 'c'",
              "((r.run_id = ? OR r.run_id = ?) AND r.product = ?)"},
        Shape{"not run_id = 'a' and product = 'c'", "(NOT r.run_id = ? AND r.product = ?)"},
        Shape{"not (run_id = 'a' or product = 'c')", "NOT (r.run_id = ? OR r.product = ?)"},
        Shape{"run_id in ('a', \"b\")", "r.run_id IN (?, ?)"},
        Shape{"run_id NOT IN ('a')", "r.run_id NOT IN (?)"},
        Shape{"product like 'sed%' OR product not like 'x'",
              "(r.product LIKE ? OR r.product NOT LIKE ?)"},
        Shape{"run_id <> 'a'", "r.run_id <> ?"},
        // A parameter's order comparison stays within numbers, or within texts.
        Shape{"param.speed >= 100",
              "r.id IN (SELECT run FROM run_params WHERE name = ? AND value >= ? AND value < '')"},
        Shape{
            "param.body < 'n'",
            "r.id IN (SELECT run FROM run_params WHERE name = ? AND value < ? AND value >= '')"}));

struct Quoting {
    std::string query;
    std::string value;
};

class Strings : public testing::TestWithParam<Quoting> {};

TEST_P(Strings, ReadBack) {
    const Condition condition = compile_query(GetParam().query);
    ASSERT_EQ(condition.values.size(), 1u);
    EXPECT_EQ(std::get<std::string>(condition.values[0]), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Table, Strings,
                         testing::Values(Quoting{"image = 'it''s'", "it's"},
                                         Quoting{"image = \"say \"\"hi\"\"\"", "say \"hi\""},
                                         Quoting{"image = 'a\\'b\\\\c'", "a'b\\c"},
                                         Quoting{"image = \"tab\\there\\n\"", "tab\there\n"},
                                         Quoting{"image = 'ünïcode'", "ünïcode"},
                                         Quoting{"image = \"\"", ""}));

TEST(Strings, QuotedTextReadsBackAsItself) {
    for (const std::string text : {"plain", "it's", "say \"hi\"", "back\\slash", "--'; DROP"}) {
        const Condition condition = compile_query("status = " + query_string(text));
        EXPECT_EQ(std::get<std::string>(condition.values.at(0)), text);
    }
}

TEST(Numbers, TakeSignsFractionsAndExponents) {
    for (auto [text, value] : {std::pair{"-1.5", -1.5}, std::pair{".5", 0.5},
                               std::pair{"+2e3", 2000.0}, std::pair{"7E-1", 0.7}}) {
        const Condition condition = compile_query(std::string("kpi.x = ") + text);
        EXPECT_EQ(std::get<double>(condition.values.at(1)), value) << text;
    }
}

struct Mistake {
    std::string query;
    std::size_t column;
    std::string reason;
};

class Errors : public testing::TestWithParam<Mistake> {};

TEST_P(Errors, NameTheColumn) {
    try {
        compile_query(GetParam().query);
        FAIL() << "no error for " << GetParam().query;
    } catch (const QueryError& error) {
        EXPECT_EQ(error.column(), GetParam().column) << error.full_message();
        EXPECT_NE(error.reason().find(GetParam().reason), std::string::npos) << error.reason();
        EXPECT_EQ(
            std::string(error.what())
                .rfind("query error at column " + std::to_string(GetParam().column) + ": ", 0),
            0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Errors,
    testing::Values(Mistake{"kpi.cd < and x", 10, "expected a value after '<'"},
                    Mistake{"kpi.cd <", 9, "expected a value after '<'"},
                    Mistake{"colour = 'red'", 1, "unknown field 'colour'; the fields are product"},
                    Mistake{"kpi. = 1", 1, "'kpi.' needs a name"},
                    Mistake{"solver 'x'", 8, "expected an operator"},
                    Mistake{"solver = x", 10, "text goes in quotes: 'x'"},
                    Mistake{"solver = and", 10, "expected a value after '='"},
                    Mistake{"solver = 3", 10, "solver holds text: put 3 in quotes"},
                    Mistake{"kpi.cd = 'low'", 10, "kpi.cd holds numbers"},
                    Mistake{"kpi.cd like '1%'", 8, "'like' matches text"},
                    Mistake{"status = 'open", 10, "unterminated string"},
                    Mistake{"status = 'a\\qb'", 12, "unknown escape '\\q'"},
                    Mistake{"status = 'é' and # 1", 18, "unexpected character '#'"},
                    Mistake{"(status = 'a'", 14, "expected ')' to close the '(' at column 1"},
                    Mistake{"status = 'a')", 13, "unmatched ')'"},
                    Mistake{"status = 'a' status = 'b'", 14, "expected 'and', 'or'"},
                    Mistake{"run_id in 'a'", 11, "expected '(' after 'in'"},
                    Mistake{"run_id in ('a' 'b')", 16, "expected ',' or ')'"},
                    Mistake{"run_id not = 'a'", 12, "expected 'in' or 'like' after 'not'"},
                    Mistake{"kpi.cd < 12abc", 10, "malformed number '12abc'"},
                    Mistake{"kpi.cd < 1e999", 10, "number out of range"},
                    Mistake{"and", 1, "expected a field"}));

TEST(Errors, FullMessagePutsACaretUnderTheColumn) {
    try {
        compile_query("kpi.cd < and x");
        FAIL();
    } catch (const QueryError& error) {
        EXPECT_EQ(error.full_message(),
                  "query error at column 10: expected a value after '<'\n"
                  "  kpi.cd < and x\n"
                  "           ^");
    }
}

TEST(Limits, DeepNestingIsRefusedLongChainsAreNot) {
    EXPECT_THROW(compile_query(std::string(150, '(') + "run_id = 'a'" + std::string(150, ')')),
                 QueryError);
    std::string nots;
    for (int i = 0; i < 150; ++i) nots += "not ";
    EXPECT_THROW(compile_query(nots + "run_id = 'a'"), QueryError);
    std::string chain = "run_id = 'r0'";
    for (int i = 1; i < 5000; ++i) chain += " or run_id = 'r" + std::to_string(i) + "'";
    const Condition condition = compile_query(chain);
    EXPECT_EQ(condition.values.size(), 5000u);
    // Balanced: the nesting of the SQL grows with the logarithm of the chain.
    std::size_t depth = 0, deepest = 0;
    for (char c : condition.sql) {
        if (c == '(') deepest = std::max(deepest, ++depth);
        if (c == ')') --depth;
    }
    EXPECT_LE(deepest, 14u);
}

TEST(Order, FieldsBecomeExpressions) {
    EXPECT_EQ(order_expression("timestamp").sql, "r.timestamp");
    const Condition kpi = order_expression("kpi.cd");
    EXPECT_EQ(kpi.sql, "(SELECT value FROM run_kpis WHERE run = r.id AND name = ?)");
    EXPECT_EQ(std::get<std::string>(kpi.values.at(0)), "cd");
    EXPECT_THROW(order_expression("kpi."), QueryError);
    EXPECT_THROW(order_expression("r.id; DROP TABLE runs"), QueryError);
}

}  // namespace
