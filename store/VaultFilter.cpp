#include "store/VaultFilter.h"

#include "store/VaultTable.h"

#include <cctype>
#include <limits>

namespace {

enum class TokenKind { Name, Text, Number, Operator, Open, Close, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;  // name, text literal (unquoted) or operator
    int64_t number = 0;
    size_t position = 0; // 1-based, for messages
};

// Operators the expression may use, each with the SQL it becomes.
struct OperatorSql {
    const char* token;
    const char* sql;
};
constexpr OperatorSql kOperators[] = {
    {"<>", " <> ?"}, {"<=", " <= ?"}, {">=", " >= ?"}, {"=", " = ?"}, {"<", " < ?"}, {">", " > ?"},
};

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool SameAscii(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}

class Parser {
public:
    explicit Parser(const std::string& expression) : src_(expression) { Advance(); }

    TFilterCondition Parse()
    {
        TFilterCondition out;
        if (token_.kind == TokenKind::End)
            return out;
        ParseOr(out);
        if (token_.kind != TokenKind::End)
            Fail("unexpected text");
        return out;
    }

private:
    [[noreturn]] void Fail(const char* what) const
    {
        throw EDatabaseError(Format("Filter expression \"%s\" is not valid: %s at position %zu.", src_.c_str(), what,
                                    token_.position));
    }

    bool AtKeyword(const char* keyword) const { return token_.kind == TokenKind::Name && SameAscii(token_.text, keyword); }

    void ParseOr(TFilterCondition& out)
    {
        out.sql += "(";
        ParseAnd(out);
        while (AtKeyword("OR")) {
            Advance();
            out.sql += " OR ";
            ParseAnd(out);
        }
        out.sql += ")";
    }

    void ParseAnd(TFilterCondition& out)
    {
        ParseUnary(out);
        while (AtKeyword("AND")) {
            Advance();
            out.sql += " AND ";
            ParseUnary(out);
        }
    }

    void ParseUnary(TFilterCondition& out)
    {
        if (AtKeyword("NOT")) {
            if (++depth_ > kMaxDepth)
                Fail("too deeply nested");
            Advance();
            out.sql += "NOT ";
            ParseUnary(out);
            --depth_;
            return;
        }
        if (token_.kind == TokenKind::Open) {
            if (++depth_ > kMaxDepth)
                Fail("too deeply nested");
            Advance();
            ParseOr(out);
            if (token_.kind != TokenKind::Close)
                Fail("expected \")\"");
            Advance();
            --depth_;
            return;
        }
        ParseComparison(out);
    }

    void ParseComparison(TFilterCondition& out)
    {
        if (token_.kind != TokenKind::Name)
            Fail("expected a field name");
        const char* column = nullptr;
        for (const char* c : kVaultColumns)
            if (SameAscii(token_.text, c))
                column = c;
        if (!column)
            Fail("unknown field name");
        Advance();
        if (token_.kind != TokenKind::Operator)
            Fail("expected a comparison operator");
        const char* opSql = nullptr;
        for (const auto& op : kOperators)
            if (token_.text == op.token)
                opSql = op.sql;
        Advance();
        if (token_.kind == TokenKind::Text)
            out.params.emplace_back(token_.text);
        else if (token_.kind == TokenKind::Number)
            out.params.emplace_back(token_.number);
        else
            Fail("expected a quoted text or a number");
        Advance();
        out.sql += column;
        out.sql += opSql;
    }

    void Advance()
    {
        while (pos_ < src_.size() && std::isspace(static_cast<unsigned char>(src_[pos_])))
            ++pos_;
        token_ = Token{};
        token_.position = pos_ + 1;
        if (pos_ >= src_.size())
            return;
        const char c = src_[pos_];
        if (IsNameStart(c)) {
            const size_t start = pos_;
            while (pos_ < src_.size() && IsNameChar(src_[pos_]))
                ++pos_;
            token_.kind = TokenKind::Name;
            token_.text = src_.substr(start, pos_ - start);
        } else if (c == '\'') {
            ReadText();
        } else if (IsDigit(c) || (c == '-' && pos_ + 1 < src_.size() && IsDigit(src_[pos_ + 1]))) {
            ReadNumber();
        } else if (c == '(' || c == ')') {
            token_.kind = c == '(' ? TokenKind::Open : TokenKind::Close;
            ++pos_;
        } else {
            for (const auto& op : kOperators) {
                const std::string t = op.token;
                if (src_.compare(pos_, t.size(), t) == 0) {
                    token_.kind = TokenKind::Operator;
                    token_.text = t;
                    pos_ += t.size();
                    return;
                }
            }
            Fail("unexpected character");
        }
    }

    void ReadText()
    {
        ++pos_; // opening quote
        std::string text;
        for (;;) {
            if (pos_ >= src_.size())
                Fail("unterminated text");
            const char c = src_[pos_++];
            if (c == '\'') {
                if (pos_ < src_.size() && src_[pos_] == '\'') {
                    text += '\'';
                    ++pos_;
                    continue;
                }
                break;
            }
            text += c;
        }
        token_.kind = TokenKind::Text;
        token_.text = std::move(text);
    }

    void ReadNumber()
    {
        const bool negative = src_[pos_] == '-';
        if (negative)
            ++pos_;
        // Accumulate as a negative number so that the minimum fits.
        int64_t value = 0;
        constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
        while (pos_ < src_.size() && IsDigit(src_[pos_])) {
            const int digit = src_[pos_++] - '0';
            if (value < (kMin + digit) / 10)
                Fail("number too large");
            value = value * 10 - digit;
        }
        if (pos_ < src_.size() && IsNameChar(src_[pos_]))
            Fail("malformed number");
        if (!negative) {
            if (value == kMin)
                Fail("number too large");
            value = -value;
        }
        token_.kind = TokenKind::Number;
        token_.number = value;
    }

    static constexpr int kMaxDepth = 64;
    const std::string& src_;
    size_t pos_ = 0;
    int depth_ = 0;
    Token token_;
};

} // namespace

TFilterCondition CompileFilter(const std::string& expression) { return Parser(expression).Parse(); }
