#include "strictjson.h"

#include <QTest>

// The strict reader for records from other devices: what RFC 8259 accepts, and nothing else.
class tst_StrictJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void grammar_data();
    void grammar();
};

void tst_StrictJson::grammar_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("string"); // the string read, to the character; null: not checked

    const auto row = [](const char *name, const QByteArray &text, bool accepted,
                        const QString &string = QString()) {
        QTest::newRow(name) << text << accepted << string;
    };
    row("object", R"({"a":[1,-0.5,2e3,true,false,null,"x",{}]})", true);
    row("scalar at the top", "7", true);
    row("white space of four kinds", " \t\r\n{ \"a\" : [ ] }\n", true);
    row("all short escapes", R"("\" \\ \/ \b \f \n \r \t \u00e9")", true);
    row("surrogate pair to one code point", R"("\ud83d\ude00")", true,
        QString::fromUtf8("\xf0\x9f\x98\x80"));
    row("escaped U+FEFF first", R"("\ufeffiPhone")", true, QStringLiteral("\ufeffiPhone"));
    row("raw U+FEFF first", "\"\xef\xbb\xbfiPhone\"", true, QStringLiteral("\ufeffiPhone"));
    row("escaped NUL", R"("a\u0000b")", true, QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
    row("raw UTF-8", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"", true);
    row("exponent forms", "[1E5,1e+5,1e-5,0.0e0]", true);
    // Whatever the range: the caller decides whether an infinity is usable.
    row("numbers beyond a double's range", "[1e400,-1e400,1e-400]", true);

    row("empty text", "", false);
    row("raw tab in a string", "\"a\tb\"", false);
    row("raw newline in a string", "\"a\nb\"", false);
    row("raw NUL in a string", QByteArray("\"a\0b\"", 5), false);
    row("trailing point", "5.", false);
    row("leading point", ".5", false);
    row("leading plus", "+1", false);
    row("leading zero", "01", false);
    row("bare exponent", "1e", false);
    row("hex escape", R"("\x41")", false);
    row("short unicode escape", R"("\u12")", false);
    row("lone high surrogate", R"("\ud83d")", false);
    row("lone low surrogate", R"("\ude00")", false);
    row("invalid UTF-8", "\"\xff\"", false);
    row("overlong UTF-8", "\"\xc0\xaf\"", false);
    row("UTF-8 surrogate", "\"\xed\xa0\x80\"", false);
    row("byte-order mark before the text", "\xef\xbb\xbf{}", false);
    row("trailing comma in an array", "[1,]", false);
    row("trailing comma in an object", R"({"a":1,})", false);
    row("single quotes", "{'a':1}", false);
    row("unquoted name", "{a:1}", false);
    row("comment", "[1]//", false);
    row("two values", "{} {}", false);
    row("NaN", "NaN", false);
    row("Infinity", "-Infinity", false);
    row("form feed as space", "\f1", false);
    row("truncated literal", "tru", false);
    row("nested too deeply",
        QByteArray(StrictJson::maxDepth + 1, '[') + QByteArray(StrictJson::maxDepth + 1, ']'),
        false);
    row("nested at the limit",
        QByteArray(StrictJson::maxDepth, '[') + QByteArray(StrictJson::maxDepth, ']'), true);
}

void tst_StrictJson::grammar()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    QFETCH(QString, string);
    const std::optional<QJsonValue> value = StrictJson::parse(text);
    QCOMPARE(value.has_value(), accepted);
    if (!string.isNull())
        QCOMPARE(value->toString(), string);
}

QTEST_APPLESS_MAIN(tst_StrictJson)
#include "tst_strictjson.moc"
