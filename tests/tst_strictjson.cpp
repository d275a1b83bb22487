#include "strictjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>

// The strict reader for records from other devices: what RFC 8259 accepts, and nothing else.
class tst_StrictJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void grammar_data();
    void grammar();
    void stringsKeepEveryCharacter_data();
    void stringsKeepEveryCharacter();
    void numbersOutOfRange();
};

void tst_StrictJson::grammar_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");

    const auto row = [](const char *name, const QByteArray &text, bool accepted) {
        QTest::newRow(name) << text << accepted;
    };
    row("object", R"({"a":[1,-0.5,2e3,true,false,null,"x",{}]})", true);
    row("scalar at the top", "7", true);
    row("white space of four kinds", " \t\r\n{ \"a\" : [ ] }\n", true);
    row("all short escapes", R"("\" \\ \/ \b \f \n \r \t \u00e9")", true);
    row("surrogate pair", R"("\ud83d\ude00")", true);
    row("raw UTF-8", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"", true);
    row("exponent forms", "[1E5,1e+5,1e-5,0.0e0]", true);

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
    QCOMPARE(StrictJson::parse(text).has_value(), accepted);
}

void tst_StrictJson::stringsKeepEveryCharacter_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("escaped U+FEFF first")
            << QByteArray(R"("\ufeffiPhone")") << QStringLiteral("\ufeffiPhone");
    QTest::newRow("raw U+FEFF first")
            << QByteArray("\"\xef\xbb\xbfiPhone\"") << QStringLiteral("\ufeffiPhone");
    QTest::newRow("escaped NUL") << QByteArray(R"("a\u0000b")")
                                 << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
    QTest::newRow("pair to one code point")
            << QByteArray(R"("\ud83d\ude00")") << QString::fromUtf8("\xf0\x9f\x98\x80");
}

void tst_StrictJson::stringsKeepEveryCharacter()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    const std::optional<QJsonValue> value = StrictJson::parse(text);
    QVERIFY(value && value->isString());
    QCOMPARE(value->toString(), expected);
}

void tst_StrictJson::numbersOutOfRange()
{
    // Valid JSON whatever the range; the caller decides whether an infinity is usable.
    const std::optional<QJsonValue> value = StrictJson::parse("[1e400,-1e400,1e-400,0.1]");
    QVERIFY(value && value->isArray());
    const QJsonArray numbers = value->toArray();
    QVERIFY(std::isinf(numbers[0].toDouble()) && numbers[0].toDouble() > 0);
    QVERIFY(std::isinf(numbers[1].toDouble()) && numbers[1].toDouble() < 0);
    QCOMPARE(numbers[2].toDouble(), 0.0);
    QCOMPARE(numbers[3].toDouble(), 0.1);
}

QTEST_APPLESS_MAIN(tst_StrictJson)
#include "tst_strictjson.moc"
