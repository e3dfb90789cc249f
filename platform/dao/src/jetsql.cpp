#include "dao/jetsql.h"

#include <cctype>
#include <strings.h>

namespace dao::jetsql {
namespace {

enum class Tok { kWord, kNumber, kString, kBracket, kPunct, kSpace };

struct Token {
  Tok type;
  std::string text;  // word/punct: as written; string/bracket: the contents
};

bool IEq(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::vector<Token> Lex(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      size_t j = i;
      while (j < s.size() && std::isspace(static_cast<unsigned char>(s[j]))) ++j;
      out.push_back({Tok::kSpace, " "});
      i = j;
    } else if (IsWordStart(c)) {
      size_t j = i;
      while (j < s.size() && IsWordChar(s[j])) ++j;
      out.push_back({Tok::kWord, std::string(s.substr(i, j - i))});
      i = j;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      size_t j = i;
      while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '.')) ++j;
      out.push_back({Tok::kNumber, std::string(s.substr(i, j - i))});
      i = j;
    } else if (c == '\'' || c == '"') {
      std::string text;
      size_t j = i + 1;
      for (;;) {
        if (j >= s.size()) throw TranslateError("unterminated string");
        if (s[j] == c) {
          if (j + 1 < s.size() && s[j + 1] == c) {  // doubled quote
            text += c;
            j += 2;
            continue;
          }
          break;
        }
        text += s[j++];
      }
      out.push_back({Tok::kString, std::move(text)});
      i = j + 1;
    } else if (c == '[') {
      size_t j = s.find(']', i + 1);
      if (j == std::string_view::npos) throw TranslateError("unterminated [name]");
      std::string name(s.substr(i + 1, j - i - 1));
      if (name.empty()) throw TranslateError("empty [name]");
      out.push_back({Tok::kBracket, std::move(name)});
      i = j + 1;
    } else if ((c == '<' || c == '>' || c == '!') && i + 1 < s.size() &&
               (s[i + 1] == '=' || (c == '<' && s[i + 1] == '>'))) {
      out.push_back({Tok::kPunct, std::string(s.substr(i, 2))});
      i += 2;
    } else if (c == '#') {
      throw TranslateError("date literals are not supported");
    } else {
      out.push_back({Tok::kPunct, std::string(1, c)});
      ++i;
    }
  }
  return out;
}

ParamType TypeFromWord(std::string_view w) {
  if (IEq(w, "INT") || IEq(w, "INTEGER") || IEq(w, "LONG") || IEq(w, "INTEGER4")) return ParamType::kInt;
  if (IEq(w, "SMALLINT") || IEq(w, "SHORT") || IEq(w, "INTEGER2")) return ParamType::kSmallInt;
  if (IEq(w, "BYTE") || IEq(w, "TINYINT") || IEq(w, "INTEGER1")) return ParamType::kByte;
  if (IEq(w, "TEXT") || IEq(w, "CHAR") || IEq(w, "VARCHAR")) return ParamType::kText;
  if (IEq(w, "DATETIME") || IEq(w, "DATE")) return ParamType::kDate;
  throw TranslateError("unknown parameter type " + std::string(w));
}

struct Cursor {
  const std::vector<Token>& toks;
  size_t i = 0;
  void SkipSpace() {
    while (i < toks.size() && toks[i].type == Tok::kSpace) ++i;
  }
  const Token* Peek() {
    SkipSpace();
    return i < toks.size() ? &toks[i] : nullptr;
  }
};

// Reads "PARAMETERS a T, b T ...;" when present.
void ReadParameters(Cursor& c, std::vector<Param>& params) {
  const Token* t = c.Peek();
  if (!t || t->type != Tok::kWord || !IEq(t->text, "PARAMETERS")) return;
  ++c.i;
  for (;;) {
    t = c.Peek();
    if (!t || (t->type != Tok::kWord && t->type != Tok::kBracket))
      throw TranslateError("PARAMETERS: name expected");
    Param p{t->text, ParamType::kUntyped};
    ++c.i;
    t = c.Peek();
    if (!t || t->type != Tok::kWord) throw TranslateError("PARAMETERS: type expected for " + p.name);
    p.type = TypeFromWord(t->text);
    ++c.i;
    t = c.Peek();
    if (t && t->type == Tok::kPunct && t->text == "(") {  // TEXT (50)
      while (c.i < c.toks.size() && !(c.toks[c.i].type == Tok::kPunct && c.toks[c.i].text == ")")) ++c.i;
      if (c.i >= c.toks.size()) throw TranslateError("PARAMETERS: ')' expected");
      ++c.i;
      t = c.Peek();
    }
    for (const Param& q : params)
      if (IEq(q.name, p.name)) throw TranslateError("PARAMETERS: " + p.name + " declared twice");
    params.push_back(std::move(p));
    if (!t) throw TranslateError("PARAMETERS: ';' expected");
    if (t->type == Tok::kPunct && t->text == ",") {
      ++c.i;
      continue;
    }
    if (t->type == Tok::kPunct && t->text == ";") {
      ++c.i;
      return;
    }
    throw TranslateError("PARAMETERS: ',' or ';' expected");
  }
}

std::string QuoteIdent(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + "\"";
}

std::string QuoteString(std::string_view s) {
  std::string out = "'";
  for (char ch : s) {
    if (ch == '\'') out += '\'';
    out += ch;
  }
  return out + "'";
}

bool IsJoinWord(std::string_view w) {
  static const char* kWords[] = {"INNER", "LEFT", "RIGHT", "OUTER", "CROSS", "NATURAL", "JOIN",
                                 "ON", "WHERE", "ORDER", "GROUP", "HAVING", "UNION", "FULL"};
  for (const char* k : kWords)
    if (IEq(w, k)) return true;
  return false;
}

// An output token: translated text, with the word it stands for (for clause
// detection) and its parenthesis depth.
struct Out {
  std::string text;
  Tok type;
  int depth;
};

std::string Join(const std::vector<Out>& v, size_t from, size_t to) {
  std::string s;
  for (size_t k = from; k < to; ++k) s += v[k].text;
  // trim
  size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

}  // namespace

const char* ParamTypeName(ParamType t) {
  switch (t) {
    case ParamType::kInt: return "INT";
    case ParamType::kSmallInt: return "SMALLINT";
    case ParamType::kByte: return "BYTE";
    case ParamType::kText: return "TEXT";
    case ParamType::kDate: return "DATETIME";
    case ParamType::kUntyped: break;
  }
  return "";
}

int FindParam(const Translation& t, std::string_view name) {
  for (size_t i = 0; i < t.params.size(); ++i)
    if (IEq(t.params[i].name, name)) return static_cast<int>(i);
  return -1;
}

Translation Translate(std::string_view jet_sql) {
  const std::vector<Token> toks = Lex(jet_sql);
  Translation tr;
  Cursor c{toks};
  ReadParameters(c, tr.params);

  // Body: translate token by token.
  std::vector<Out> out;
  int depth = 0;
  bool ended = false;
  for (size_t k = c.i; k < toks.size(); ++k) {
    const Token& t = toks[k];
    if (ended) {
      if (t.type == Tok::kSpace) continue;
      throw TranslateError("text after ';'");
    }
    switch (t.type) {
      case Tok::kSpace:
        if (!out.empty()) out.push_back({" ", Tok::kSpace, depth});
        break;
      case Tok::kWord:
      case Tok::kNumber:
        out.push_back({t.text, t.type, depth});
        break;
      case Tok::kString:
        out.push_back({QuoteString(t.text), Tok::kString, depth});
        break;
      case Tok::kBracket: {
        bool dotted = (k > 0 && toks[k - 1].type == Tok::kPunct && toks[k - 1].text == ".") ||
                      (k + 1 < toks.size() && toks[k + 1].type == Tok::kPunct && toks[k + 1].text == ".");
        if (dotted) {
          out.push_back({QuoteIdent(t.text), Tok::kWord, depth});
        } else {
          int idx = FindParam(tr, t.text);
          if (idx < 0) {
            tr.params.push_back({t.text, ParamType::kUntyped});
            idx = static_cast<int>(tr.params.size()) - 1;
          }
          out.push_back({"?" + std::to_string(idx + 1), Tok::kBracket, depth});
        }
        break;
      }
      case Tok::kPunct:
        if (t.text == ";") {
          ended = true;
          break;
        }
        if (t.text == "(") ++depth;
        if (t.text == ")") {
          if (--depth < 0) throw TranslateError("unbalanced ')'");
        }
        out.push_back({t.text, Tok::kPunct, t.text == "(" ? depth - 1 : depth});
        break;
    }
  }
  if (depth != 0) throw TranslateError("unbalanced '('");
  while (!out.empty() && out.back().type == Tok::kSpace) out.pop_back();

  // Statement kind.
  size_t first = 0;
  while (first < out.size() && out[first].type == Tok::kSpace) ++first;
  if (first >= out.size() || out[first].type != Tok::kWord) throw TranslateError("empty statement");
  const std::string& head = out[first].text;
  if (IEq(head, "SELECT")) tr.kind = Kind::kSelect;
  else if (IEq(head, "UPDATE")) tr.kind = Kind::kUpdate;
  else if (IEq(head, "DELETE")) tr.kind = Kind::kDelete;
  else if (IEq(head, "INSERT")) tr.kind = Kind::kInsert;
  else throw TranslateError("unsupported statement " + head);

  if (tr.kind == Kind::kDelete) {  // DELETE * FROM t  ->  DELETE FROM t
    size_t k = first + 1;
    while (k < out.size() && out[k].type == Tok::kSpace) ++k;
    if (k < out.size() && out[k].type == Tok::kPunct && out[k].text == "*") {
      out.erase(out.begin() + static_cast<long>(k));
      if (k < out.size() && out[k].type == Tok::kSpace) out.erase(out.begin() + static_cast<long>(k));
    }
  }
  tr.sql = Join(out, 0, out.size());
  if (tr.kind != Kind::kSelect) return tr;

  // Top-level clauses of a SELECT.
  size_t from_at = 0, where_at = 0, order_at = 0, end = out.size();
  auto word_at = [&](size_t k, const char* w) {
    return out[k].type == Tok::kWord && out[k].depth == 0 && IEq(out[k].text, w);
  };
  auto next_word = [&](size_t k) {
    ++k;
    while (k < out.size() && out[k].type == Tok::kSpace) ++k;
    return k;
  };
  for (size_t k = first + 1; k < out.size(); ++k) {
    if (out[k].type != Tok::kWord || out[k].depth != 0) continue;
    if (word_at(k, "DISTINCT") || word_at(k, "GROUP") || word_at(k, "HAVING") || word_at(k, "UNION") ||
        word_at(k, "TOP") || word_at(k, "DISTINCTROW"))
      tr.aggregate = true;
    if (!from_at && word_at(k, "FROM")) from_at = k;
    else if (from_at && !where_at && !order_at && word_at(k, "WHERE")) where_at = k;
    else if (from_at && !order_at && word_at(k, "ORDER")) {
      size_t b = next_word(k);
      if (b < out.size() && word_at(b, "BY")) order_at = k;
    }
  }
  if (!from_at) throw TranslateError("SELECT without FROM");
  tr.select_list = Join(out, first + 1, from_at);
  size_t from_end = where_at ? where_at : (order_at ? order_at : end);
  tr.from = Join(out, from_at + 1, from_end);
  if (where_at) tr.where = Join(out, where_at + 1, order_at ? order_at : end);
  if (order_at) tr.order_by = Join(out, next_word(order_at) + 1, end);

  // Tables of the FROM clause: the name after FROM, '(', ',' or JOIN.
  bool expect_table = true;
  bool in_on = false;  // inside an ON condition: '(' opens an expression
  for (size_t k = from_at + 1; k < from_end; ++k) {
    const Out& o = out[k];
    if (o.type == Tok::kSpace) continue;
    if (o.type == Tok::kPunct && ((o.text == "(" && !in_on) || o.text == ",")) {
      expect_table = true;
      in_on = false;
      continue;
    }
    if (o.type == Tok::kWord && IEq(o.text, "JOIN")) {
      expect_table = true;
      in_on = false;
      continue;
    }
    if (o.type == Tok::kWord && IEq(o.text, "ON")) {
      expect_table = false;
      in_on = true;
      continue;
    }
    if (expect_table && o.type == Tok::kWord && !IsJoinWord(o.text)) {
      TableRef ref{o.text, o.text};
      size_t n = next_word(k);
      if (n < from_end && out[n].type == Tok::kWord && IEq(out[n].text, "AS")) {
        size_t a = next_word(n);
        if (a >= from_end || out[a].type != Tok::kWord) throw TranslateError("alias expected after AS");
        ref.alias = out[a].text;
        k = a;
      } else if (n < from_end && out[n].type == Tok::kWord && !IsJoinWord(out[n].text)) {
        ref.alias = out[n].text;
        k = n;
      }
      for (const TableRef& r : tr.tables)
        if (IEq(r.alias, ref.alias)) throw TranslateError("table " + ref.alias + " appears twice");
      tr.tables.push_back(std::move(ref));
      expect_table = false;
      continue;
    }
    expect_table = false;
  }
  if (tr.tables.empty()) throw TranslateError("no table in FROM");
  return tr;
}

std::string EffectiveOrder(const Translation& t, const PrimaryKeyLookup& pk) {
  if (!t.order_by.empty()) return t.order_by;
  std::string s;
  for (const TableRef& r : t.tables) {
    std::vector<std::string> cols = pk(r.name);
    if (cols.empty()) cols.push_back("rowid");
    for (const std::string& col : cols) {
      if (!s.empty()) s += ", ";
      s += QuoteIdent(r.alias) + "." + (col == "rowid" ? col : QuoteIdent(col));
    }
  }
  return s;
}

std::string KeysetSql(const Translation& t, const PrimaryKeyLookup& pk) {
  if (t.kind != Kind::kSelect) throw TranslateError("not a SELECT");
  if (t.aggregate) throw TranslateError("DISTINCT, GROUP BY and UNION queries cannot be opened as dynasets");
  std::string s = "SELECT ";
  for (size_t i = 0; i < t.tables.size(); ++i) {
    if (i) s += ", ";
    s += QuoteIdent(t.tables[i].alias) + ".rowid";
  }
  s += " FROM " + t.from;
  if (!t.where.empty()) s += " WHERE " + t.where;
  s += " ORDER BY " + EffectiveOrder(t, pk);
  return s;
}

std::string FetchSql(const Translation& t) {
  if (t.kind != Kind::kSelect) throw TranslateError("not a SELECT");
  std::string s = "SELECT " + t.select_list + " FROM " + t.from + " WHERE ";
  const size_t p = t.params.size();
  for (size_t i = 0; i < t.tables.size(); ++i) {
    if (i) s += " AND ";
    s += QuoteIdent(t.tables[i].alias) + ".rowid " + (i ? "IS" : "=") + " ?" + std::to_string(p + i + 1);
  }
  return s;
}

}  // namespace dao::jetsql
