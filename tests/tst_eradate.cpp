#include "eradate.h"
#include "numberpattern.h"

#include <QTest>

class TestEraDate : public QObject {
    Q_OBJECT

private slots:
    void shouldPadWholeNumbersAndPassOtherText_data();
    void shouldPadWholeNumbersAndPassOtherText();
    void shouldConvertReadableDatesAndKeepOthersSlashed_data();
    void shouldConvertReadableDatesAndKeepOthersSlashed();
};

void TestEraDate::shouldPadWholeNumbersAndPassOtherText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("digits");
    QTest::addColumn<QString>("expected");

    QTest::newRow("spaces around number") << "  12 " << 5 << "00012";
    QTest::newRow("longer than pad stays whole") << "123456" << 5 << "123456";
    QTest::newRow("excess leading zeros dropped") << "0000042" << 5 << "00042";
    QTest::newRow("zero") << "    0" << 5 << "00000";
    QTest::newRow("full-width digits") << QString::fromUtf8("１０９") << 5 << "00109";
    QTest::newRow("beyond any integer")
        << "123456789012345678901234567890" << 5 << "123456789012345678901234567890";
    for (const char* text : { "-12", "1.5", "1,234", "1 2", "12A45", "\t12", "     ", "" })
        QTest::addRow("passes '%s'", text) << text << 5 << text;
    QTest::newRow("full-width space passes")
        << QString::fromUtf8("　12") << 5 << QString::fromUtf8("　12");
}

void TestEraDate::shouldPadWholeNumbersAndPassOtherText()
{
    QFETCH(QString, text);
    QFETCH(int, digits);
    QFETCH(QString, expected);
    QCOMPARE(NumberPattern::format(text, digits), expected);
}

void TestEraDate::shouldConvertReadableDatesAndKeepOthersSlashed_data()
{
    QTest::addColumn<QString>("eraDate");
    QTest::addColumn<QString>("expected");

    QTest::newRow("showa 45") << "S45.03.12"
                              << "1970/03/12 ";
    QTest::newRow("space-padded parts") << "S 5. 3. 2"
                                        << "1930/03/02 ";
    QTest::newRow("meiji 1") << "M01.01.01"
                             << "1868/01/01 ";
    QTest::newRow("taisho 1") << "T01.07.30"
                              << "1912/07/30 ";
    QTest::newRow("showa 1") << "S01.12.25"
                             << "1926/12/25 ";
    QTest::newRow("heisei 1") << "H01.01.08"
                              << "1989/01/08 ";
    QTest::newRow("reiwa 1") << "R01.05.01"
                             << "2019/05/01 ";
    QTest::newRow("past era's end") << "H31.05.01"
                                    << "2019/05/01 ";
    QTest::newRow("lower-case era") << "h04.10.01"
                                    << "1992/10/01 ";
    QTest::newRow("feb 29 leap year") << "H04.02.29"
                                      << "1992/02/29 ";
    QTest::newRow("full-width digits") << QString::fromUtf8("S４５.０３.１２") << "1970/03/12 ";

    QTest::newRow("feb 29 common year") << "H05.02.29"
                                        << "H05/02/29 ";
    QTest::newRow("april 31") << "S45.04.31"
                              << "S45/04/31 ";
    QTest::newRow("month 13") << "S45.13.01"
                              << "S45/13/01 ";
    QTest::newRow("era year 00") << "S00.03.12"
                                 << "S00/03/12 ";
    QTest::newRow("unknown era") << "X 5. 3. 2"
                                 << "X05/03/02 ";
    QTest::newRow("signed year") << "S-1.03.12"
                                 << "S-1/03/12 ";
    QTest::newRow("short text") << "S45.03"
                                << "S45/03/ ";
}

void TestEraDate::shouldConvertReadableDatesAndKeepOthersSlashed()
{
    QFETCH(QString, eraDate);
    QFETCH(QString, expected);
    QCOMPARE(EraDate::convert(eraDate), expected);
}

QTEST_GUILESS_MAIN(TestEraDate)
#include "tst_eradate.moc"
