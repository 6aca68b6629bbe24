#include "analysisresult.h"

#include <QtTest>

#include <thread>
#include <vector>

// Copies of one result and of the null result are made, written and dropped
// in several threads at once. With counts that are not atomic a record is
// freed under a reader or never freed; ThreadSanitizer sees any unguarded
// access to a shared record.
class tst_AnalysisResultConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void copiesAcrossThreads();
};

void tst_AnalysisResultConcurrency::copiesAcrossThreads()
{
    ClotCurve curve;
    curve.append(0.0, 0.1, QVector<double>(200, 1000.0));
    AnalysisResult shared(12.5);
    shared.setCurve(curve);
    shared.setFlags(tam::DilutionFlag);

    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, &mismatches, t] {
            for (int i = 0; i < 20000; ++i) {
                AnalysisResult copy = shared;
                AnalysisResult null;
                if (i % 100 == t) {
                    copy.setCh(t + 1);
                    null.setCh(t + 1);
                    ClotCurve mine = copy.curve();
                    mine.remove(0, 1);
                    copy.setCurve(mine);
                    if (copy.curve().size() != 199 || null.ch() != t + 1)
                        ++mismatches[t];
                }
                if (copy.value() != 12.5 || !AnalysisResult().isNull())
                    ++mismatches[t];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    QCOMPARE(mismatches, std::vector<int>(4, 0));
    QCOMPARE(shared.ch(), 0);
    QCOMPARE(shared.curve(), curve);
    QCOMPARE(AnalysisResult().ch(), 0);
    QVERIFY(AnalysisResult().isCopyOf(AnalysisResult()));
}

QTEST_GUILESS_MAIN(tst_AnalysisResultConcurrency)
#include "tst_analysisresult_concurrency.moc"
