// ResultPageWriter writes pages straight from records; each page must be the very text that
// writeResultPage makes from the JSON form of the same single item, refused the same way.
#include "worker/result_pages.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "contracts/test_records.h"
#include "engine/testing/generated_runs.h"
#include "worker/test_pages.h"

namespace tw {
namespace {

using testing::ResultPageBody;
using testing::ResultPageWriter;
using testing::writeResultPage;

// A scratch file standing in for standard output.
class Capture {
 public:
  Capture() : file_(std::tmpfile()) {}
  ~Capture() { std::fclose(file_); }
  int fd() const { return fileno(file_); }
  std::string text() const {
    std::string out;
    char buffer[4096];
    ssize_t got;
    off_t offset = 0;
    while ((got = ::pread(fd(), buffer, sizeof buffer, offset)) > 0) {
      out.append(buffer, static_cast<size_t>(got));
      offset += got;
    }
    return out;
  }

 private:
  FILE* file_;
};

Allocation sampleAllocation(std::string leftId) {
  Evidence evidence{"rule-1",
                    {testing::makeRef("bank", "f\"1", std::nullopt, 4),
                     testing::makeRef("erp", "f2", "Sheet\t1", 9)},
                    {ReasonCode::ReferenceMatch}};
  return Allocation{AllocationStage::ErpBank, std::move(leftId), "B-1", "1500",
                    std::move(evidence)};
}

TEST(ResultPageWriter, WritesWhatWriteResultPageWrites) {
  const std::string nonce = "nonce-0123456789abcdef";
  const uint64_t pageCount = 4;
  Capture direct;
  Capture viaJson;
  ResultPageWriter pages(direct.fd(), nonce, pageCount);
  uint64_t pageIndex = 0;
  auto viaJsonPage = [&](ResultPageBody body) {
    return writeResultPage(viaJson.fd(), nonce, std::move(body), pageIndex, pageCount);
  };

  ASSERT_TRUE(pages.writeEmpty());
  ASSERT_TRUE(viaJsonPage({}));
  ASSERT_TRUE(pages.write(sampleAllocation("E-1")));
  ResultPageBody allocationBody;
  allocationBody.allocations.push_back(toJsonValue(sampleAllocation("E-1")));
  ASSERT_TRUE(viaJsonPage(std::move(allocationBody)));
  ASSERT_TRUE(pages.writePendingId("E-2"));
  ResultPageBody pendingBody;
  pendingBody.pendingIds.emplace_back("E-2");
  ASSERT_TRUE(viaJsonPage(std::move(pendingBody)));
  ASSERT_TRUE(pages.writeResidual("E-2", "-250"));
  ResultPageBody residualBody;
  residualBody.residuals.emplace("E-2", "-250");
  ASSERT_TRUE(viaJsonPage(std::move(residualBody)));

  EXPECT_EQ(direct.text(), viaJson.text());
  EXPECT_EQ(pageIndex, 4u);
}

TEST(ResultPageWriter, RefusesAPageOverTheOutputLimitWithoutWritingIt) {
  const std::string nonce = "nonce-0123456789abcdef";
  Capture out;
  ResultPageWriter pages(out.fd(), nonce, 2);
  auto refused = pages.write(sampleAllocation(std::string(kMaxResponseBytes, 'E')));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), SessionCode::ResponseLimit);
  EXPECT_EQ(out.text(), "");
  // The refused page took no index: the next one is still page 0.
  ASSERT_TRUE(pages.writePendingId("E-1"));
  EXPECT_NE(out.text().find(R"("pageIndex":0,)"), std::string::npos);
}

TEST(ResultPageBuilder, BatchesHoldTheWriterTextsAndEndAtARefusedPage) {
  const std::string nonce = "nonce-0123456789abcdef";
  Capture oneByOne;
  ResultPageWriter writer(oneByOne.fd(), nonce, 5);
  ASSERT_TRUE(writer.write(sampleAllocation("E-1")));
  ASSERT_TRUE(writer.writePendingId("E-2"));
  ASSERT_TRUE(writer.writeResidual("E-3", "7"));

  ResultPageBuilder builder(nonce, 5);
  PageBatch first;
  builder.add(first, sampleAllocation("E-1"));
  builder.addPendingId(first, "E-2");
  PageBatch second;
  builder.addResidual(second, "E-3", "7");
  builder.add(second, sampleAllocation(std::string(kMaxResponseBytes, 'E')));
  EXPECT_EQ(first.pageCount(), 2u);
  EXPECT_FALSE(first.stop);
  EXPECT_EQ(second.pageCount(), 1u);
  EXPECT_EQ(second.stop, SessionCode::ResponseLimit);

  Capture batched;
  ASSERT_TRUE(writePageBatch(batched.fd(), first));
  auto refused = writePageBatch(batched.fd(), second);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), SessionCode::ResponseLimit);
  EXPECT_EQ(batched.text(), oneByOne.text());
}

// The commitment hashed from the items of the pages is the result's commitment, escapes and
// all; the item of a refused page is not part of it.
TEST(ResultPageBuilder, CommitsTheItemsOfThePagesItMakes) {
  ReconciliationResult result;
  result.runId = "run-\"1";
  result.revision = 3;
  result.allocations = {sampleAllocation("E-1"), sampleAllocation("E\\2")};
  result.pendingIds = {"P-1", "P\n2"};
  result.residuals = {{"R-1", "-5"}, {"R\t2", "6"}};
  ResultCommitment commitment;
  ResultPageBuilder builder("nonce-1", 6, &commitment);
  PageBatch batch;
  for (const Allocation& allocation : result.allocations) builder.add(batch, allocation);
  for (const std::string& id : result.pendingIds) builder.addPendingId(batch, id);
  for (const auto& [id, cents] : result.residuals) builder.addResidual(batch, id, cents);
  PageBatch refused;
  builder.addResidual(refused, std::string(kMaxResponseBytes, 'R'), "1");
  ASSERT_EQ(refused.stop, SessionCode::ResponseLimit);
  EXPECT_EQ(commitment.finish(result.revision, result.runId).value(),
            commitCheckedResult(result).value());
}

// Every page in order with the commitment; a refused page or a handOver that declines ends the
// pages there, with `last` set at a refusal and no commitment.
TEST(MakeResultPages, MakesEveryPageInOrderAndStopsWhereAsked) {
  ReconciliationResult result;
  result.runId = "run-1";
  result.allocations = {sampleAllocation("E-1")};
  result.pendingIds = {"P-1"};
  result.residuals = {{"R-1", "-5"}, {"R-2", std::string(kMaxResponseBytes, '1')}};
  const std::string nonce = "nonce-0123456789abcdef";
  struct Case {
    const char* name;
    size_t declineAt;  // pages handed over before handOver declines
    size_t pages;      // pages made in all
    bool lastSeen;
  };
  for (const Case c : {Case{"a refused page", 99, 3, true}, Case{"declined", 1, 2, false}}) {
    SCOPED_TRACE(c.name);
    PageBatch batch;
    size_t calls = 0;
    bool lastSeen = false;
    auto commitment = makeResultPages(result, nonce, 4, batch, [&](PageBatch& made, bool last) {
      lastSeen = lastSeen || last;
      EXPECT_EQ(last, made.stop.has_value());
      return ++calls <= c.declineAt;
    });
    EXPECT_FALSE(commitment);
    EXPECT_EQ(batch.pageCount(), c.pages);
    EXPECT_EQ(lastSeen, c.lastSeen);
  }

  result.residuals.erase("R-2");
  PageBatch batch;
  std::vector<bool> lasts;
  auto commitment = makeResultPages(result, nonce, 3, batch, [&](PageBatch&, bool last) {
    lasts.push_back(last);
    return true;
  });
  ASSERT_TRUE(commitment && *commitment);
  EXPECT_EQ(commitment->value(), commitCheckedResult(result).value());
  EXPECT_EQ(lasts, (std::vector<bool>{false, false, false, true}));
  ResultPageBuilder builder(nonce, 3);
  PageBatch expected;
  builder.add(expected, result.allocations[0]);
  builder.addPendingId(expected, "P-1");
  builder.addResidual(expected, "R-1", "-5");
  EXPECT_EQ(batch.text, expected.text);
}

// Every page a result makes, and its commitment, with each batch taken as it is handed over.
template <class AnyResult>
std::pair<std::string, std::string> allPages(const AnyResult& result) {
  const std::string nonce = "nonce-0123456789abcdef";
  PageBatch batch;
  std::string pages;
  auto commitment = makeResultPages(result, nonce, *resultPageCount(result), batch,
                                    [&pages](PageBatch& made, bool) {
                                      pages += made.text;
                                      made.clear();
                                      return true;
                                    });
  return {pages, commitment && *commitment ? commitment->value() : "none"};
}

// A result left by position makes the very pages, and the commitment, of its records: no
// allocation, compositions with fee origins, pending entries and residuals of every stage.
TEST(MakeResultPages, LeftByPositionAreThoseOfItsRecords) {
  const std::atomic<bool> cancel{false};
  size_t documented = 0;
  for (const testing::GeneratedRun& run :
       {testing::GeneratedRun{}, testing::realisticRun(400, 1), testing::realisticRun(1500, 2)}) {
    auto positional = runEnginePositional(run.entries, run.manifest, cancel, kSessionEngineLimits,
                                          EntryContractChecks::Run);
    ASSERT_TRUE(positional.ok());
    const ReconciliationResult records = positional->toRecords();
    EXPECT_EQ(resultPageCount(*positional), resultPageCount(records));
    EXPECT_EQ(allPages(*positional), allPages(records));
    for (const Allocation& allocation : records.allocations) {
      documented += allocation.evidence.origins.size() > 2;
    }
  }
  EXPECT_GT(documented, 0u);
}

TEST(ResultPageCount, IsOneAnItemAndOneForNoItems) {
  ReconciliationResult result;
  EXPECT_EQ(resultPageCount(result), 1u);
  result.pendingIds = {"E-1", "E-2"};
  result.residuals.emplace("E-1", "0");
  result.allocations.push_back(sampleAllocation("E-3"));
  EXPECT_EQ(resultPageCount(result), 4u);
}

TEST(ResultPageWriter, ReportsAFailedWrite) {
  ResultPageWriter pages(-1, "nonce-0123456789abcdef", 1);
  auto failed = pages.writeResidual("E-1", "0");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), SessionCode::ResponseWriteFailed);
}

}  // namespace
}  // namespace tw
