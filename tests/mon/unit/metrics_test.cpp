// The Prometheus exposition of a scrape, on hand-built records: the label
// values as the format demands them, the families and their samples, what
// a failed scrape and a missing counter leave out.
#include <stdio.h>
#include <string.h>

#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "mon/metrics.h"
#include "tests/mon/unit/mon_records.h"

namespace {

std::string Label(const std::string &text)
{
    std::string out;
    MonAppendLabelValue(&out, text);
    return out;
}

TEST(Metrics, LabelValuesAreEscapedAndAlwaysUtf8)
{
    EXPECT_EQ(Label("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");
    EXPECT_EQ(Label("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(Label("caf\xE9!"), "caf" + replacement + "!");                                     // Latin-1
    EXPECT_EQ(Label("\xC0\xAF"), replacement + replacement);                                     // overlong '/'
    EXPECT_EQ(Label("\xED\xA0\x80"), replacement + replacement + replacement);                   // a surrogate
    EXPECT_EQ(Label("\xF4\x90\x80\x80"), replacement + replacement + replacement + replacement); // above U+10FFFF
    EXPECT_EQ(Label("x\xE2\x82"), "x" + replacement + replacement); // cut short at the end
}

struct Scrape {
    TestTopology t;
    MonScrape scrape;

    Scrape()
    {
        FervDevice *d = t.Device("array \"east\"", 1);
        SET_TEXT(d->serialNumber, "SN1");
        FervLun *lun = t.Lun(d, "db", 1);
        lun->pathingMode = FERV_PATHING_ASYMMETRIC;
        t.Path(lun, "p0", ACTIVE, true, "HBA0");
        t.Path(lun, "p1", DOWN, false, "HBA1");
        t.info.hbaCount = 2;
        scrape.success = true;
        scrape.durationSeconds = 0.25;
        memset(&scrape.topology, 0, sizeof scrape.topology);
        scrape.topology.info = t.info;
        scrape.topology.params = FervPublicParameters{5, 1, 7, {2, 6, 1, 14}};
        scrape.lunStats.push_back(FervStatistics{3, 100, 2, 800});
        scrape.lunStatsKnown.push_back(true);
        scrape.pathStats.push_back(FervStatistics{0, 100, 2, 4294967295u});
        scrape.pathStatsKnown.push_back(true);
        scrape.pathStats.push_back(FervStatistics());
        scrape.pathStatsKnown.push_back(false); // vanished before its counters were read
    }

    std::string Text()
    {
        MonMetricsSink sink = {"", nullptr, true};
        EXPECT_TRUE(MonWriteMetrics(scrape, &sink));
        return sink.text;
    }
};

// Every sample follows the TYPE line of its own family, each family is
// declared once, and HELP comes right before TYPE.
::testing::AssertionResult WellFormed(const std::string &text)
{
    std::istringstream in(text);
    std::string line, family, help;
    std::set<std::string> declared;
    while (std::getline(in, line)) {
        if (line.compare(0, 7, "# HELP ") == 0) {
            help = line.substr(7, line.find(' ', 7) - 7);
        } else if (line.compare(0, 7, "# TYPE ") == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            if (family != help || !declared.insert(family).second)
                return ::testing::AssertionFailure() << "family " << family << " declared twice or without help";
        } else if (line.substr(0, line.find_first_of("{ ")) != family) {
            return ::testing::AssertionFailure() << "sample outside its family: " << line;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(Metrics, AScrapeShowsTheDriverTheTopologyAndTheCountersItRead)
{
    Scrape s;
    std::string text = s.Text();
    EXPECT_TRUE(WellFormed(text)) << text;
    const char *const lines[] = {
        "ferv_driver_info{version=\"2.6.1.14\"} 1\n",
        "ferv_driver_poll_rate_seconds 5\n",
        "ferv_driver_auto_failback 1\n",
        "ferv_hbas 2\n",
        "ferv_device_info{device=\"array "
        "\\\"east\\\"\",device_wwn=\"60d00000000000000000000000000001\",serial=\"SN1\","
        "ip=\"\",firmware=\"\"} 1\n",
        "ferv_lun_info{device=\"array \\\"east\\\"\",lun=\"db\",lun_wwn=\"60100000000000000000000000000001\","
        "pathing_mode=\"asymmetric\",load_balancing=\"disabled\"} 1\n",
        "ferv_lun_paths_healthy{device=\"array "
        "\\\"east\\\"\",lun=\"db\",lun_wwn=\"60100000000000000000000000000001\"} 1\n",
        "ferv_lun_io_errors_total{device=\"array "
        "\\\"east\\\"\",lun=\"db\",lun_wwn=\"60100000000000000000000000000001\"} 3\n",
        "# TYPE ferv_path_host_requests_total counter\n",
        "ferv_path_state{device=\"array \\\"east\\\"\",lun=\"db\",path=\"p1\",hba=\"HBA1\"} 1\n",
        "ferv_path_active{device=\"array \\\"east\\\"\",lun=\"db\",path=\"p0\",hba=\"HBA0\"} 1\n",
        "ferv_path_preferred{device=\"array \\\"east\\\"\",lun=\"db\",path=\"p1\",hba=\"HBA1\"} 0\n",
        "ferv_path_blocks_transferred_total{device=\"array \\\"east\\\"\",lun=\"db\",path=\"p0\",hba=\"HBA0\"} "
        "4294967295\n",
        "ferv_scrape_success 1\n",
        "ferv_scrape_duration_seconds 0.250000\n",
    };
    for (const char *line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    // The vanished path keeps its state, but has no counters to show.
    EXPECT_EQ(text.find("_total{device=\"array \\\"east\\\"\",lun=\"db\",path=\"p1\""), std::string::npos) << text;
    EXPECT_EQ(text.find("ferv_path_outstanding_io{device=\"array \\\"east\\\"\",lun=\"db\",path=\"p1\""),
              std::string::npos);
}

TEST(Metrics, SeriesWithTheSameLabelsAreWrittenOnce)
{
    Scrape s;
    SET_TEXT(s.t.paths[1].pathName, "p0");
    SET_TEXT(s.t.paths[1].hbaName, "HBA0");
    std::string text = s.Text();
    size_t first = text.find("ferv_path_state{");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("ferv_path_state{", first + 1), std::string::npos) << text;
}

TEST(Metrics, AFailedScrapeShowsOnlyThatItFailed)
{
    Scrape s;
    s.scrape.success = false;
    EXPECT_EQ(s.Text(), "# HELP ferv_scrape_success 1 when the driver was read completely; 0 when it could not be, "
                        "and nothing else is shown.\n"
                        "# TYPE ferv_scrape_success gauge\n"
                        "ferv_scrape_success 0\n"
                        "# HELP ferv_scrape_duration_seconds Seconds the reading of the driver took.\n"
                        "# TYPE ferv_scrape_duration_seconds gauge\n"
                        "ferv_scrape_duration_seconds 0.250000\n");
}

TEST(Metrics, AFileSinkGetsTheSameText)
{
    Scrape s;
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    MonMetricsSink sink = {"", file, true};
    EXPECT_TRUE(MonWriteMetrics(s.scrape, &sink));
    EXPECT_EQ(sink.text, "");
    rewind(file);
    std::string written;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        written.append(buffer, n);
    fclose(file);
    EXPECT_EQ(written, s.Text());
}

} // namespace
