// Concurrency of the database layer: record sets of one database used from two threads while a
// third walks the table through it, a second connection writing the same file, and the
// process-wide status read and probed meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "outside/db/CDBFaultInjector.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

TEST(DbConcurrency, ThreadsAndConnectionsWriteOneFileWithoutLosingRows) {
    DBG::SetLogToNothing();
    testsupport::CTempDir home;
    testsupport::CreateSampleHome(home.Path());
    const x_wstring conn = x_wstring::FromUtf8((home / "config/dbconf_Conf.xml").string());
    CGenericDatabase shared(conn, true);
    shared.Initialize();
    CGenericDatabase second(conn, true);
    second.Initialize();

    const int kRows = 100;
    auto writer = [&](CGenericDatabase* db, const wchar_t* prefix) {
        CModifiableRecordSet* raw = nullptr;
        ASSERT_TRUE(db->OpenTable(L"QV_ContentFilterRule", raw));
        std::unique_ptr<CModifiableRecordSet> rs(raw);
        for (int i = 0; i < kRows; ++i) {
            x_wstring key;
            key.Format(L"%ls:%d", prefix, i);
            rs->AddNew();
            rs->SetFieldValue(L"CFG_INDEX", CVar(key));
            rs->SetFieldValue(L"CFR_PRIORITY", CVar(i));
            rs->Update();
            ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(key)));
        }
    };
    // Walks through the shared connection, whose writes keep interrupting them: each walk meets
    // rows in the order they were added (per writer, ascending) and none twice.
    std::atomic<bool> writing{true};
    auto walker = [&] {
        CModifiableRecordSet* raw = nullptr;
        ASSERT_TRUE(shared.OpenTable(L"QV_ContentFilterRule", raw));
        std::unique_ptr<CModifiableRecordSet> rs(raw);
        bool last = false;
        while (!last) {
            last = !writing.load();
            std::map<wchar_t, int> previous;
            int rows = 0;
            for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext(), ++rows) {
                x_wstring key = rs->GetFieldValue(L"CFG_INDEX").ToString();
                int n = rs->GetFieldValue(L"CFR_PRIORITY").ToI4();
                auto [it, first] = previous.emplace(key[0], n);
                ASSERT_TRUE(first || it->second < n) << OS::WideToUtf8(key);
                it->second = n;
            }
            if (last) {
                EXPECT_EQ(3 * kRows, rows);
            }
        }
    };
    std::thread a(writer, &shared, L"A");
    std::thread b(writer, &shared, L"B");
    std::thread c(writer, &second, L"C");
    std::thread w(walker);
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(CGenericDatabase::IsDBStatusOK());
        EXPECT_TRUE(CGenericDatabase::ProbeLostConnections());
    }
    a.join();
    b.join();
    c.join();
    writing = false;
    w.join();

    CModifiableRecordSet* raw = nullptr;
    ASSERT_TRUE(second.OpenTable(L"QV_ContentFilterRule", raw));
    std::unique_ptr<CModifiableRecordSet> rs(raw);
    EXPECT_EQ(3 * kRows, rs->GetRecordCount());
    for (const wchar_t* p : {L"A", L"B", L"C"}) {
        x_wstring key;
        key.Format(L"%ls:%d", p, kRows - 1);
        ASSERT_TRUE(rs->Seek(L"CFG_INDEX", CVar(key)));
        EXPECT_EQ(CVar(kRows - 1), rs->GetFieldValue(L"CFR_PRIORITY"));
    }
    DBG::SetLogToStderr();
}
