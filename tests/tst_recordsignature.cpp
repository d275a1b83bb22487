#include "recordsignature.h"
#include "strictjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <functional>

// Cross rows between the page's signing code (web/phone/src/signing.js run by Node) and Vorn's:
// the same canonical text, and the same verdict on every signature either side made or spoiled.
using Tamper = std::function<void(QString &storeKey, QJsonObject &record, QString &publicKey)>;
Q_DECLARE_METATYPE(Tamper)

namespace {

const QString stateKey = QStringLiteral("syncedBlockState");
const QByteArray baseRecord
        = "{\"isBlocking\":false,\"targetDeviceIDs\":[\"B\",\"A\"],"
          "\"updatedAt\":818298123.456789,\"endsAt\":818301723.5,\"locked\":false,"
          "\"zNext\":{\"b\":[1,\"x\",null],\"a\":true}}";

QJsonObject parsed(const QByteArray &text)
{
    return StrictJson::parse(text).value_or(QJsonValue()).toObject();
}

QString text(const QJsonObject &record)
{
    return QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_RecordSignature : public QObject
{
    Q_OBJECT

    QJsonObject m_pageSigned;
    QString m_pageKey;
    QJsonObject m_vornSigned;
    QString m_vornKey;

    // One request to the page's code; fails the test when Node cannot run it.
    QJsonObject page(const QJsonObject &request)
    {
        QProcess node;
        node.start(QStringLiteral(VORN_NODE),
                   {QStringLiteral(VORN_SOURCE_DIR "/web/phone/test/signingpeer.mjs")});
        node.write(QJsonDocument(request).toJson());
        node.closeWriteChannel();
        if (!node.waitForFinished(30000) || node.exitCode() != 0)
            qFatal("signingpeer.mjs failed: %s", node.readAllStandardError().constData());
        return QJsonDocument::fromJson(node.readAllStandardOutput()).object();
    }

private slots:
    void initTestCase()
    {
        if (QStringLiteral(VORN_NODE).isEmpty())
            QFAIL("Node.js is missing: the page's half of the rows cannot run");
        const QJsonObject answer = page(
                {{"sign",
                  QJsonArray{QJsonObject{{"storeKey", stateKey}, {"text", QString(baseRecord)}}}}});
        m_pageKey = answer["publicKey"].toString();
        m_pageSigned = parsed(answer["signed"][0].toString().toUtf8());
        QCOMPARE(answer["fingerprint"].toString(),
                 RecordSignature::fingerprint(*RecordSignature::fromBase64(m_pageKey)));

        const auto pair = RecordSignature::generateKey();
        QVERIFY(pair);
        m_vornKey = QString::fromLatin1(pair->spkiDer.toBase64());
        m_vornSigned = *RecordSignature::signRecord(stateKey, parsed(baseRecord), pair->pkcs8Der);
    }

    void canonicalText_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::newRow("state") << baseRecord;
        QTest::newRow("numbers") << QByteArray("{\"n\":[810000000.125,0.1,1e21,1e20,5e-7,1e-6,-0,"
                                               "123456789012345680000,1.7976931348623157e308,"
                                               "5e-324,-1.25e-10,1e400,42,2.5e-7,1234.5678e-20]}");
        QTest::newRow("strings") << QByteArray(
                "{\"s\":\"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001\\u001f\\u007f "
                "\\u00f6 \\u20ac \\u2028 \\ud83d\\ude00 / <>\"}");
        QTest::newRow("member order")
                << QByteArray("{\"b\":1,\"a\":{\"\\uffff\":[{\"y\":null,\"x\":false}],"
                              "\"\\ud83d\\ude00\":1,\"\\u00e9\":2,\"Z\":3,\"\":4}}");
        QTest::newRow("empty") << QByteArray("{\"a\":{},\"b\":[],\"signature\":\"dropped\"}");
    }

    void canonicalText()
    {
        QFETCH(QByteArray, record);
        const QJsonObject answer = page(
                {{"canonical",
                  QJsonArray{QJsonObject{{"storeKey", stateKey}, {"text", QString(record)}}}}});
        QCOMPARE(RecordSignature::canonicalText(stateKey, parsed(record)),
                 answer["canonical"][0].toString().toUtf8());
    }

    void signatures_data()
    {
        QTest::addColumn<bool>("pageSigned");
        QTest::addColumn<Tamper>("tamper");
        QTest::addColumn<bool>("valid");
        const auto member = [](const char *name, QJsonValue value) {
            return Tamper([=](QString &, QJsonObject &record, QString &) {
                if (value.isUndefined())
                    record.remove(QLatin1String(name));
                else
                    record.insert(QLatin1String(name), value);
            });
        };
        const std::pair<const char *, Tamper> rows[] = {
                {"as signed", member("none", QJsonValue::Undefined)},
                {"isBlocking", member("isBlocking", true)},
                {"targetDeviceIDs", member("targetDeviceIDs", QJsonArray{"A"})},
                {"updatedAt", member("updatedAt", 818298123.456790)},
                {"endsAt removed", member("endsAt", QJsonValue::Undefined)},
                {"locked", member("locked", true)},
                {"unknown member", member("zNext", QJsonObject{{"a", true}})},
                {"member added", member("extra", 1)},
                {"signedBy", member("signedBy", "0000-0000-0000-0000-0000")},
                {"unsigned", member("signature", QJsonValue::Undefined)},
                {"malformed base64", member("signature", "not*base64")},
                {"unpadded base64",
                 member("signature", QString(QByteArray(64, 'x').toBase64()).remove(u'='))},
                {"other store key",
                 [](QString &storeKey, QJsonObject &, QString &) {
                     storeKey = QStringLiteral("blockSchedule");
                 }},
        };
        for (const bool pageSigned : {true, false}) {
            for (const auto &[name, tamper] : rows) {
                QTest::addRow("%s, %s", pageSigned ? "page signs" : "Vorn signs", name)
                        << pageSigned << tamper << (qstrcmp(name, "as signed") == 0);
            }
            QTest::addRow("%s, other key", pageSigned ? "page signs" : "Vorn signs")
                    << pageSigned << Tamper([=, this](QString &, QJsonObject &, QString &key) {
                           key = pageSigned ? m_vornKey : m_pageKey;
                       })
                    << false;
        }
    }

    void signatures()
    {
        QFETCH(bool, pageSigned);
        QFETCH(Tamper, tamper);
        QFETCH(bool, valid);
        QString storeKey = stateKey;
        QJsonObject record = pageSigned ? m_pageSigned : m_vornSigned;
        QString publicKey = pageSigned ? m_pageKey : m_vornKey;
        tamper(storeKey, record, publicKey);

        const QByteArray spki = *RecordSignature::fromBase64(publicKey);
        QCOMPARE(RecordSignature::verify(spki, RecordSignature::canonicalText(storeKey, record),
                                         record["signature"].toString()),
                 valid);
        const QHash<QString, QByteArray> keys{{RecordSignature::fingerprint(spki), spki}};
        QCOMPARE(RecordSignature::verifiedSigner(storeKey, record, keys).has_value(), valid);
        const QJsonObject answer = page({{"verify",
                                          QJsonArray{QJsonObject{{"storeKey", storeKey},
                                                                 {"text", text(record)},
                                                                 {"publicKey", publicKey}}}}});
        QCOMPARE(answer["verified"][0].toBool(), valid);
    }
};

QTEST_GUILESS_MAIN(tst_RecordSignature)
#include "tst_recordsignature.moc"
