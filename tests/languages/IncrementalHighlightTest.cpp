// Incremental equals whole-file: re-colouring only the edited lines (widened over constructs
// that cross their edges) leaves exactly the attributes of colouring the final text afresh.
#include "tests/languages/LanguageFixtures.h"
#include "tests/support/TestSupport.h"

#include "platform/QVTextStorage.h"

#include <gtest/gtest.h>

#include <random>

using namespace fixtures;

namespace {

struct Edit {
    qint64 location;
    qint64 length;  // characters replaced
    QString text;
};

// A storage coloured whole by parser, then edited and re-coloured edit by edit.
class Document {
public:
    Document(Languages& languages, QVParser& parser, const QString& text)
        : _parser(parser), _standard(standardAttributes(*languages.theme)) {
        _storage.replaceCharacters(QVRange(0, 0), text);
        highlightAll(_storage, _parser, _standard);
    }

    void apply(const Edit& edit) {
        _storage.beginEditing();
        _storage.replaceCharacters(QVRange(edit.location, edit.length), edit.text);
        _storage.endEditing();
        rehighlight(_storage, _parser, QVRange(edit.location, edit.text.size()), _standard);
    }

    // Empty when the storage holds what a fresh colouring of its text gives; otherwise both
    // dumps.
    QString differenceFromFresh() const {
        QVTextStorage fresh;
        fresh.replaceCharacters(QVRange(0, 0), _storage.string());
        highlightAll(fresh, _parser, _standard);
        const QString incremental = _storage.dump();
        const QString whole = fresh.dump();
        if (incremental == whole) return {};
        return u"text:\n"_qs + _storage.string() + u"\nincremental:\n"_qs + incremental + u"\nwhole:\n"_qs + whole;
    }

    const QVTextStorage& storage() const { return _storage; }

private:
    QVParser& _parser;
    QVariantMap _standard;
    QVTextStorage _storage;
};

const QString kHtml = uR"(<!DOCTYPE html>
<html>
<head>
<title>Page "one"</title>
<style type="text/css">
/* layout */
body { margin: 0; color: #333; }
p.note { font-size: 12px; content: "a } b"; }
</style>
<script type="text/javascript">
// set up
var items = [1, 2, 0x1F];
function show(x) {
  if (x > 2) { return "</p>"; }
  /* a block
     comment */
  return 'it\'s ' + x;
}
</script>
</head>
<body class="main"
      id='x'>
<!-- a comment
     over lines -->
<p>Text <a href="a>b">link</a> & more</p>
<?php
  foreach ($rows as $row) { echo "<td>" . $row . "</td>"; } // rows
?>
<p><? echo 1 ?></p>
<cf:loop index="i">x</cf:loop>
</body>
</html>
)"_qs;

const QString kScript = uR"(// A small module
import { a } from "./a.js";
const answer = 42, hex = 0xFF;
/* block
   comment */
class Thing extends Base {
  constructor(name) {
    super();
    this.name = name; // keep it
    this.re = "a \" quoted \\";
  }
  get label() { return 'it\'s ' + this.name; }
}
let s = "unterminated
next line";
export default Thing;
)"_qs;

}  // namespace

TEST(IncrementalHighlight, DirectedEdits) {
    struct Case {
        const char* name;
        bool html;
        QString anchor;  // edit at the first occurrence of this text
        qint64 replaced;
        QString inserted;
    };
    const QList<Case> cases{
        {"open a block comment", false, u"const answer"_qs, 0, u"/* "_qs},
        {"close the block comment early", false, u"   comment */"_qs, 0, u"*/"_qs},
        {"remove a block comment's start", false, u"/* block"_qs, 2, u""_qs},
        {"open a string", false, u"import"_qs, 0, u"\""_qs},
        {"close the unterminated string", false, u"unterminated"_qs, 12, u"done\";"_qs},
        {"join two lines", false, u"\nnext line"_qs, 1, u""_qs},
        {"type in a keyword", false, u"Thing;"_qs, 0, u"new "_qs},
        {"edit inside a script block", true, u"var items"_qs, 3, u"let"_qs},
        {"close the script early", true, u"function show"_qs, 0, u"</script>\n"_qs},
        {"remove the script's end", true, u"</script>"_qs, 9, u""_qs},
        {"open a comment in the markup", true, u"<body"_qs, 0, u"<!-- "_qs},
        {"end the markup comment early", true, u"     over lines"_qs, 0, u"-->"_qs},
        {"edit the second line of a tag", true, u"id='x'"_qs, 0, u"title=\"t\" "_qs},
        {"break a tag over lines", true, u"href="_qs, 0, u"\n"_qs},
        {"remove a tag's closing >", true, u"\">link"_qs, 1, u""_qs},
        {"open a server block", true, u"<p>Text"_qs, 0, u"<?php "_qs},
        {"remove the server block's end", true, u"?>\n<p>"_qs, 2, u""_qs},
        {"open a quote in a tag", true, u"class=\"main\""_qs, 7, u""_qs},
        {"type a style element", true, u"<p>Text"_qs, 0, u"<style>p { color: red; }\n"_qs},
        {"edit a style rule", true, u"margin: 0"_qs, 6, u"padding"_qs},
        {"delete everything", true, u"<!DOCTYPE"_qs, kHtml.size(), u""_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Languages languages;
        const QString& text = c.html ? kHtml : kScript;
        Document document(languages, c.html ? *languages.html : *languages.js, text);
        ASSERT_EQ(document.differenceFromFresh(), QString());
        const qint64 at = text.indexOf(c.anchor);
        ASSERT_GE(at, 0);
        document.apply({at, c.replaced, c.inserted});
        EXPECT_EQ(document.differenceFromFresh(), QString());
        EXPECT_EQ(document.storage().check(), QString());
    }
}

TEST(IncrementalHighlight, RandomEditsMatchAFreshHighlight) {
    // Pieces that open, close and break the constructs of both languages.
    const QStringList pieces{
        u"/*"_qs, u"*/"_qs, u"//"_qs, u"\""_qs, u"'"_qs, u"\\"_qs, u"\n"_qs, u"\r\n"_qs, u"<"_qs, u">"_qs,
        u"<!--"_qs, u"-->"_qs, u"<script>"_qs, u"</script>"_qs, u"<style>"_qs, u"</style>"_qs, u"<?php "_qs,
        u"<? "_qs, u"?>"_qs, u"<a href=\"x\">"_qs, u"</a>"_qs, u"if "_qs, u"return x;"_qs, u"0x1F"_qs,
        u"color: red;"_qs, u"$v "_qs, u"<cf:set x=\"1\">"_qs, u" "_qs, u"word"_qs, u"\"str\""_qs, u"<b\n>"_qs,
    };
    for (const bool html : {false, true}) {
        for (unsigned seed = 1; seed <= 16; ++seed) {
            SCOPED_TRACE(testing::Message() << (html ? "markup" : "script") << " seed " << seed);
            std::mt19937 random(seed);
            auto below = [&](qint64 n) { return n <= 0 ? 0 : qint64(random() % quint64(n)); };
            Languages languages;
            Document document(languages, html ? *languages.html : *languages.js, html ? kHtml : kScript);
            for (int step = 0; step < 150; ++step) {
                const qint64 length = document.storage().length();
                const qint64 location = below(length + 1);
                const int kind = int(random() % 4);
                Edit edit{location, 0, {}};
                if (kind == 0) edit.length = std::min<qint64>(below(12) + 1, length - location);
                if (kind >= 1) edit.text = pieces.at(below(pieces.size()));
                if (kind == 3) edit.length = std::min<qint64>(below(4), length - location);
                document.apply(edit);
                const QString difference = document.differenceFromFresh();
                ASSERT_EQ(difference, QString()) << "after step " << step << ": replaced (" << edit.location << ", "
                                                 << edit.length << ") by \"" << edit.text.toStdString() << "\"";
            }
            EXPECT_EQ(document.storage().check(), QString());
        }
    }
}

TEST(IncrementalHighlight, PiecesColourAsTheWhole) {
    // Long scripts whose comment forms stop occurring part way (a licence block comment, then
    // only line comments; strings and comments holding other forms' begins): coloured whole and
    // in ten pieces cut at line starts, they come out the same.
    Languages languages;
    auto script = [](const QString& header, const QString& line, int lines) {
        QString text = header;
        for (int i = 0; i < lines; ++i) text += line.arg(i);
        return text;
    };
    struct Case {
        const char* name;
        QVParser& parser;
        QString text;
    };
    const QList<Case> cases{
        {"script", *languages.js,
         script(u"/* licence\n   text */\n"_qs, u"const a%1 = '// no' + \"/* no\"; // note %1 /* still\nif (a) { b(); }\n"_qs, 400)},
        {"server language with three forms", *languages.php,
         script(u"/* head */ # once\n"_qs, u"$v%1 = '#' . \"//\"; // line %1\necho $v%1; /* b%1 */\n"_qs, 400)},
        {"style sheet", *languages.css, script(u"/* only here */\n"_qs, u".c%1 { margin: %1px; content: \"/*\"; }\n"_qs, 400)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QVariantMap standard = standardAttributes(*languages.theme);
        QVTextStorage whole, pieces;
        whole.replaceCharacters(QVRange(0, 0), c.text);
        pieces.replaceCharacters(QVRange(0, 0), c.text);
        highlightAll(whole, c.parser, standard);
        qint64 from = 0;
        for (int i = 1; i <= 10; ++i) {
            const qint64 to = i == 10 ? pieces.length() : pieces.lineRange(pieces.lineOfPosition(pieces.length() * i / 10)).location;
            colourRange(pieces, c.parser, QVRange(from, to - from), standard);
            from = to;
        }
        EXPECT_EQ(styleMask(pieces), styleMask(whole));
        EXPECT_EQ(pieces.dump(), whole.dump());
    }
}
