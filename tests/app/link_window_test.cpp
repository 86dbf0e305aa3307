// The Sync dialog's Link boxes, clicked as a user would, in a private network namespace whose
// only interface is loopback (netns-run.sh): a second Link peer in this process sees quillbox
// join and leave, the dialog and the tray's tooltip count the peers, and the boxes are stored.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <chrono>

#include "app/syncdialog.h"
#include "link/linksession.h"
#include "platform/application.h"
#include "tests/app/appfixture.h"
#include "tray/texttrayicon.h"

namespace apptest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class LinkWindowTest : public AppTest {
 protected:
  TForm1& StartMain() {
    TForm1& f = Start();
    qb::Application().SetMainForm(&f);
    return f;
  }
  std::string Tip() {
    const auto* e =
        tray_.service.Find(qb::SharedTrayWindow()->MessageWindow(), form_->TextTrayIcon1->TrayId());
    return e ? e->tip : "(no entry)";
  }
  // The peer counts quillbox in, and the window shows it.
  void ExpectJoined() {
    EXPECT_TRUE(qbtest::PumpUntil([&] { return peer_.Peers() == 1; }, 15s))
        << "the peer never saw quillbox join";
    EXPECT_TRUE(
        qbtest::PumpUntil([&] { return form_->SyncDialog->LinkPeers->text() == "1 peer"; }, 5s))
        << form_->SyncDialog->LinkPeers->text().toStdString();
    // The Link line follows the state line.
    EXPECT_EQ(QString::fromStdString(Tip()).section('\n', 2).toStdString(), "Link: 1 peer")
        << Tip();
  }
  // Unticking leaves at once: the peer drops quillbox on its goodbye, well before Link's own
  // timeout for a silent peer (five seconds and more) would.
  void ExpectLeftAtOnce() {
    const auto unticked = Clock::now();
    form_->SyncDialog->Link->click();
    EXPECT_TRUE(qbtest::PumpUntil([&] { return peer_.Peers() == 0; }, 15s));
    EXPECT_LT(Clock::now() - unticked, 2500ms) << "quillbox was dropped by the timeout";
    EXPECT_TRUE(
        qbtest::PumpUntil([&] { return form_->SyncDialog->LinkPeers->text() == "off"; }, 5s));
    EXPECT_EQ(Tip().find("Link"), std::string::npos) << Tip();
  }

  qb::LinkSession peer_{{}, false};
};

TEST_F(LinkWindowTest, TheBoxesJoinAndLeaveTheSessionAtOnceAndAreStoredAtClose) {
  AddDevices(1);
  {
    TForm1& f = StartMain();
    EXPECT_EQ(f.SyncDialog->LinkPeers->text(), "off");
    EXPECT_EQ(Tip().find("Link"), std::string::npos) << Tip();
    // Off by default: the peer stays alone.
    qbtest::PumpFor(1500ms);
    EXPECT_EQ(peer_.Peers(), 0u);

    f.SyncButton->click();
    f.SyncDialog->Link->click();
    ExpectJoined();
    f.SyncDialog->LinkStartStop->click();
    ExpectLeftAtOnce();
    f.SyncDialog->Link->click();  // on again for the store
    ExpectJoined();
    EXPECT_TRUE(f.close());
  }
  EXPECT_EQ(StoredValue("Link"), 1);
  EXPECT_EQ(StoredValue("LinkStartStop"), 1);

  // The stored boxes come back, and Link joins at start without a click.
  form_.reset();
  EXPECT_TRUE(qbtest::PumpUntil([&] { return peer_.Peers() == 0; }, 15s));
  TForm1& g = StartMain();
  EXPECT_TRUE(g.SyncDialog->Link->isChecked());
  EXPECT_TRUE(g.SyncDialog->LinkStartStop->isChecked());
  ExpectJoined();
  ExpectLeftAtOnce();
  EXPECT_TRUE(g.close());
  EXPECT_EQ(StoredValue("Link"), 0);
}

}  // namespace
}  // namespace apptest
