#include "examples/demo_sessions.h"

namespace qp_demo {

namespace {

SessionSpec StockCount() {
  SessionSpec s;
  s.slot = 0;
  s.name = "Stock count";
  s.prefs.outputFormat = kTab;
  s.prefs.fieldNamesAsHeaders = true;
  s.prefs.clearPDAData = true;
  s.prefs.backupUploadFiles = true;
  s.prefs.fields = {{"Barcode", 0, true, 13},
                    {"Description", 0, true, 24},
                    {"Qty", 0, true, 5},
                    {"Location", 0, true, 8, true},
                    {"Counted", 0, true, 16}};
  s.rows = {
      {"4006381333931", "Stabilo pen black", "48", "A1-03", "2026-03-14 08:02"},
      {"5012345678900", "A4 paper 80g", "12", "A1-04", "2026-03-14 08:05"},
      {"8711253001202", "Stapler large", "3", "B2-01", "2026-03-14 08:11"},
      {"9780201633610", "Design Patterns", "1", "C4-07", "2026-03-14 08:17"},
      {"0036000291452", "Tissues box", "120", "B2-09", "2026-03-14 08:26"},
  };
  s.lookupLists[4] = {"A1-03", "A1-04", "B2-01", "B2-09", "C4-07"};
  s.hints = {{1, "Scan the shelf label"}, {3, "Count units, not boxes"}};
  return s;
}

SessionSpec Deliveries() {
  SessionSpec s;
  s.slot = 1;
  s.name = "Deliveries";
  s.prefs.outputFormat = kXml;
  s.prefs.fieldNamesAsHeaders = true;
  s.prefs.fields = {{"Order", 0, true, 10},
                    {"Customer", 0, true, 20},
                    {"Items", 0, true, 5},
                    {"Delivered", 0, true, 16},
                    {"Signature", kSignatureFieldType, true, 30}};
  s.rows = {
      {"SO-10412", "Harbour Cafe", "6", "2026-03-14 09:12"},
      {"SO-10415", "Lindqvist Dental", "2", "2026-03-14 09:40"},
      {"SO-10419", "Northgate Library", "14", "2026-03-14 10:05"},
      {"SO-10420", "Pine St Bakery", "3", "2026-03-14 10:31"},
  };
  // The bakery was closed: no signature for record 4.
  s.signatures[{1, 5}] = MakeSignature(1);
  s.signatures[{2, 5}] = MakeSignature(2);
  s.signatures[{3, 5}] = MakeSignature(3);
  return s;
}

SessionSpec PriceCheck() {
  SessionSpec s;
  s.slot = 3;
  s.name = "Price check";
  s.prefs.outputFormat = kCommaQuoted;
  s.prefs.fieldNamesAsHeaders = true;
  s.prefs.appendOutput = true;
  s.prefs.fields = {{"Barcode", 0, true, 13},
                    {"Shelf price", 0, true, 8},
                    {"Till price", 0, true, 8},
                    {"Checked by", 0, false, 10}};
  s.rows = {
      {"4006381333931", "1.20", "1.20", "ML"},
      {"5012345678900", "4.99", "5.49", "ML"},
      {"8711253001202", "12.50", "12.50", "ML"},
  };
  return s;
}

SessionSpec SiteVisits() {
  SessionSpec s;
  s.slot = 5;
  s.name = "Site visits";
  s.prefs.outputFormat = kHtml;
  s.prefs.fieldNamesAsHeaders = true;
  s.prefs.fields = {{"Site"}, {"Arrived"}, {"Notes"}};
  s.rows = {
      {"Depot North", "07:45", "Gate code changed"},
      {"Depot South", "11:20", "All fine"},
  };
  return s;
}

}  // namespace

std::vector<SessionSpec> DemoSessions() {
  return {StockCount(), Deliveries(), PriceCheck(), SiteVisits()};
}

}  // namespace qp_demo
