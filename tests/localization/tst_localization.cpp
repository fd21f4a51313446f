#include "localizationmanager.h"

#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
// A preferences store of its own for each test.
struct Defaults
{
    QTemporaryDir dir;
    QSettings settings{dir.path() + QStringLiteral("/prefs.ini"), QSettings::IniFormat};
};

LocalizationManager::PreferredLanguages prefer(QStringList codes)
{
    return [codes] { return codes; };
}
} // namespace

class TestLocalization : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every shipped language has every key, none mapped to its own name, and each keeps the
    // placeholders of its English template (callers pass exactly that many arguments).
    void shippedResourcesAreComplete_data()
    {
        QTest::addColumn<QString>("code");
        for (AppLanguage l : AppLanguages::All) {
            if (l != AppLanguage::system && l != AppLanguage::en)
                QTest::newRow(qPrintable(AppLanguages::code(l))) << AppLanguages::code(l);
        }
    }
    void shippedResourcesAreComplete()
    {
        QFETCH(QString, code);
        QCOMPARE(LocalizationManager::resourceFor(code), code);
        QFile f(LocalizationManager::resourcePath(code));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QJsonParseError error{};
        const QJsonObject table = QJsonDocument::fromJson(f.readAll(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        for (qsizetype i = 0; i < LocalizationKeys::count(); ++i) {
            const LocalizationKey key = LocalizationKeys::at(i);
            const QString name = LocalizationKeys::name(key);
            const QJsonValue value = table.value(name);
            QVERIFY2(value.isString(), qPrintable(code + u' ' + name));
            QVERIFY2(value.toString() != name, qPrintable(code + u' ' + name));
            QVERIFY2(value.toString().count(QStringLiteral("%@")) ==
                         LocalizationKeys::english(key).count(QStringLiteral("%@")),
                     qPrintable(code + u' ' + name));
        }
        QCOMPARE(table.size(), LocalizationKeys::count()); // nothing stale either
    }

    void keyTable()
    {
        QCOMPARE(LocalizationKeys::count(), 143);
        QCOMPARE(LocalizationKeys::name(LocalizationKey::delete_), QStringLiteral("delete"));
        QCOMPARE(LocalizationKeys::english(LocalizationKey::failedToSendMessage),
                 QStringLiteral("Failed to send message: %@"));
    }

    void persistence()
    {
        Defaults d;
        {
            LocalizationManager m(&d.settings, prefer({}));
            QCOMPARE(m.language(), AppLanguage::system);
            QSignalSpy before(&m, &LocalizationManager::languageWillChange);
            QSignalSpy after(&m, &LocalizationManager::languageChanged);
            m.setLanguage(AppLanguage::fr);
            QCOMPARE(before.size(), 1);
            QCOMPARE(after.size(), 1);
            QCOMPARE(d.settings.value(QStringLiteral("app_locale")).toString(),
                     QStringLiteral("fr"));
            m.setLanguage(AppLanguage::system);
            QVERIFY(!d.settings.contains(QStringLiteral("app_locale")));
            m.setLanguage(AppLanguage::ptBR);
            QCOMPARE(d.settings.value(QStringLiteral("app_locale")).toString(),
                     QStringLiteral("pt-BR"));
        }
        LocalizationManager again(&d.settings, prefer({}));
        QCOMPARE(again.language(), AppLanguage::ptBR);
    }

    void storedValue_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<AppLanguage>("language");
        QTest::newRow("pt-BR") << QVariant(QStringLiteral("pt-BR")) << AppLanguage::ptBR;
        QTest::newRow("ja") << QVariant(QStringLiteral("ja")) << AppLanguage::ja;
        QTest::newRow("system") << QVariant(QStringLiteral("system")) << AppLanguage::system;
        QTest::newRow("underscore") << QVariant(QStringLiteral("pt_BR")) << AppLanguage::system;
        QTest::newRow("upper case") << QVariant(QStringLiteral("PT-BR")) << AppLanguage::system;
        QTest::newRow("a name") << QVariant(QStringLiteral("French")) << AppLanguage::system;
        QTest::newRow("empty") << QVariant(QString()) << AppLanguage::system;
        QTest::newRow("not text") << QVariant(42) << AppLanguage::system;
    }
    void storedValue()
    {
        QFETCH(QVariant, stored);
        QFETCH(AppLanguage, language);
        Defaults d;
        d.settings.setValue(QStringLiteral("app_locale"), stored);
        LocalizationManager m(&d.settings, prefer({}));
        QCOMPARE(m.language(), language);
        QCOMPARE(d.settings.value(QStringLiteral("app_locale")), stored); // never rewritten
    }

    void resourceChoice_data()
    {
        QTest::addColumn<QString>("pinned"); // raw value of the choice
        QTest::addColumn<QStringList>("preferred");
        QTest::addColumn<QString>("resource");
        QTest::newRow("pinned fr") << "fr" << QStringList{"de"} << "fr";
        QTest::newRow("pinned pt-BR") << "pt-BR" << QStringList{} << "pt-BR";
        QTest::newRow("pinned en") << "en" << QStringList{"de"} << "en";
        QTest::newRow("system pt-BR") << "system" << QStringList{"pt-BR"} << "pt-BR";
        QTest::newRow("system pt_BR") << "system" << QStringList{"pt_BR"} << "pt-BR";
        QTest::newRow("de-CH then fr") << "system" << QStringList{"de-CH", "fr-FR"} << "de";
        QTest::newRow("pt-PT falls to the next") << "system" << QStringList{"pt-PT", "fr"} << "fr";
        QTest::newRow("pt-PT alone gives English") << "system" << QStringList{"pt-PT"} << "en";
        QTest::newRow("only unsupported") << "system" << QStringList{"zh-Hans-CN", "sv"} << "en";
        QTest::newRow("script and region") << "system" << QStringList{"ja-Jpan-JP"} << "ja";
        QTest::newRow("English first wins") << "system" << QStringList{"en-US", "fr"} << "en";
        QTest::newRow("nothing preferred") << "system" << QStringList{} << "en";
        QTest::newRow("junk codes") << "system" << QStringList{"-", "_", ""} << "en";
        QTest::newRow("fixture") << "system" << QStringList{"xx-YY"} << "xx";
    }
    void resourceChoice()
    {
        QFETCH(QString, pinned);
        QFETCH(QStringList, preferred);
        QFETCH(QString, resource);
        Defaults d;
        d.settings.setValue(QStringLiteral("app_locale"), pinned);
        LocalizationManager m(&d.settings, prefer(preferred));
        QCOMPARE(m.chosenResource(), resource);
    }

    void lookup_data()
    {
        QTest::addColumn<QStringList>("preferred");
        QTest::addColumn<LocalizationKey>("key");
        QTest::addColumn<QString>("text");
        QTest::newRow("German") << QStringList{"de"} << LocalizationKey::userNotAuthenticated
                                << QString();
        QTest::newRow("English") << QStringList{"en"} << LocalizationKey::cancel
                                 << QStringLiteral("CANCEL");
        QTest::newRow("translated")
            << QStringList{"xx"} << LocalizationKey::cancel << QStringLiteral("XX-CANCEL");
        QTest::newRow("missing key")
            << QStringList{"xx"} << LocalizationKey::approve << QStringLiteral("APPROVE");
        QTest::newRow("self-named")
            << QStringList{"xx"} << LocalizationKey::retry << QStringLiteral("RETRY");
    }
    void lookup()
    {
        QFETCH(QStringList, preferred);
        QFETCH(LocalizationKey, key);
        QFETCH(QString, text);
        Defaults d;
        LocalizationManager m(&d.settings, prefer(preferred));
        const QString found = m.localizedString(key);
        if (text.isEmpty()) // a real translation: not English, not the key
            QVERIFY(found != LocalizationKeys::english(key) &&
                    found != LocalizationKeys::name(key));
        else
            QCOMPARE(found, text);
    }

    void formatting()
    {
        Defaults d;
        LocalizationManager m(&d.settings, prefer({}));
        m.setLanguage(AppLanguage::de);
        const QString german = m.format(LocalizationKey::requestFailedWithStatus, {404});
        QVERIFY(german.contains(QStringLiteral("404")));
        QCOMPARE(german, m.localizedString(LocalizationKey::requestFailedWithStatus)
                             .replace(QStringLiteral("%@"), QStringLiteral("404")));
        QVERIFY(german != QStringLiteral("Request failed with status 404."));
        // Numbers follow the language's locale.
        QVERIFY(m.format(LocalizationKey::requestFailedWithStatus, {1234567})
                    .contains(QStringLiteral("1.234.567")));
        m.setLanguage(AppLanguage::en);
        QCOMPARE(m.format(LocalizationKey::requestFailedWithStatus, {404}),
                 QStringLiteral("Request failed with status 404."));
        QCOMPARE(m.format(LocalizationKey::failedToSendMessage, {QStringLiteral("50% done %@")}),
                 QStringLiteral("Failed to send message: 50% done %@")); // arguments not re-read
        QCOMPARE(m.format(LocalizationKey::failedToSendMessage, {}),
                 QStringLiteral("Failed to send message: %@"));
    }

    void displayNames()
    {
        Defaults d;
        LocalizationManager m(&d.settings, prefer({}));
        m.setLanguage(AppLanguage::en);
        QCOMPARE(m.displayName(AppLanguage::system), QStringLiteral("System Default"));
        m.setLanguage(AppLanguage::fr);
        QVERIFY(m.displayName(AppLanguage::system) != QStringLiteral("System Default"));
        QCOMPARE(m.displayName(AppLanguage::ja), QStringLiteral("日本語"));
        QCOMPARE(m.displayName(AppLanguage::ptBR), QStringLiteral("Português (Brasil)"));
        QCOMPARE(AppLanguages::locale(AppLanguage::de).language(), QLocale::German);
    }
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
