// The main window's stored layout: the window, its controls and its components with their
// stored values, applied in order through their setters, then the after-loading step.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <algorithm>
#include <array>

#include "app/logview.h"
#include "app/unit1.h"
#include "platform/component.h"
#include "platform/errors.h"
#include "tray/texttrayicon.h"

namespace {

enum class Kind { ComboBox, CheckBox, Label, SpinEdit, Log, Memo, Button };

struct ControlRow {
  const char* name;
  Kind kind;
  const char* caption;
  int left, top, width, height;
  int tab_order;  // -1: takes no focus
};

// The icon stored with the window: 16 x 16 in the 16-colour palette. The text icon replaces
// it as soon as its text settings are applied.
QImage StoredTrayIcon() {
  QImage image(16, 16, QImage::Format_Indexed8);
  image.setColorCount(2);
  image.setColor(0, qRgb(0xC0, 0xC0, 0xC0));
  image.setColor(1, qRgb(0x00, 0x00, 0x00));
  image.fill(0);
  for (int i = 0; i < 16; ++i) {
    image.setPixel(i, 0, 1);
    image.setPixel(i, 15, 1);
    image.setPixel(0, i, 1);
    image.setPixel(15, i, 1);
  }
  return image;
}

}  // namespace

void TForm1::LoadLayout() {
  // Controls in creation order; the last column is the tab order.
  const std::array<ControlRow, 13> controls = {{
      {"ComboBox1", Kind::ComboBox, "", 8, 8, 145, 21, 2},
      {"CheckBox2", Kind::CheckBox, "", 8, 32, 17, 17, 6},
      {"Label1", Kind::Label, "Beat", 24, 34, 22, 13, -1},
      {"Label4", Kind::Label, "Kanal:", 67, 34, 30, 13, -1},
      {"SpinEdit1", Kind::SpinEdit, "", 104, 35, 49, 22, 8},
      {"CheckBox3", Kind::CheckBox, "", 8, 48, 17, 17, 7},
      {"Label3", Kind::Label, "Position", 25, 50, 37, 13, -1},
      {"CheckBox1", Kind::CheckBox, "Debug", 8, 64, 57, 17, 1},
      {"Memo1", Kind::Log, "", 8, 88, 657, 489, 0},
      {"Label2", Kind::Label, "Filter", 8, 600, 22, 13, -1},
      {"Memo2", Kind::Memo, "", 8, 616, 481, 73, 3},
      {"Button2", Kind::Button, "Time", 464, 24, 75, 25, 5},
      {"Button1", Kind::Button, "Beat", 568, 24, 75, 25, 4},
  }};

  // Window-less components of the window's thread, constructed before their values are read;
  // the endpoint, the MIDI port and the beat timer are the engine's (bridge/engine.cpp).
  TextTrayIcon1 = new qb::TTextTrayIcon(this);
  TextTrayIcon1->Name = "TextTrayIcon1";
  Timer2 = new qb::TTimer(this);
  Timer2->Name = "Timer2";

  qb::StoredLayout layout;
  std::vector<qb::StoredLayout::Value> form = {
      [this] { setWindowTitle(QStringLiteral("brindle's quillbox")); },
      [this] {
        // Fixed single border, system menu and minimise only.
        setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
      },
      [this] { move(262, 172); },
      [this] { setFixedSize(786, 713); },
      [this] {
        QPalette p = palette();
        p.setColor(QPalette::Window, p.color(QPalette::Button));
        setPalette(p);
        setAutoFillBackground(true);
      },
      [this] {
        // The window was laid out for this face; where it is missing, the nearest faces in
        // width keep the captions inside their stored boxes.
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
                                    QStringLiteral("Liberation Sans"),
                                    QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica")});
        QFont f(QStringLiteral("MS Sans Serif"));
        f.setStyleHint(QFont::SansSerif);
        f.setPixelSize(11);
        setFont(f);
      },
  };
  for (const ControlRow& row : controls) {
    form.push_back([this, row] {
      QWidget* w = nullptr;
      const QString caption = QString::fromUtf8(row.caption);
      switch (row.kind) {
        case Kind::ComboBox:
          w = new QComboBox(this);
          break;
        case Kind::CheckBox:
          w = new QCheckBox(caption, this);
          break;
        case Kind::Label:
          w = new QLabel(this);
          break;
        case Kind::SpinEdit:
          w = new QSpinBox(this);
          break;
        case Kind::Log:
          w = new qb::TLogView(this);
          break;
        case Kind::Memo:
          w = new QPlainTextEdit(this);
          break;
        case Kind::Button:
          w = new QPushButton(caption, this);
          break;
      }
      w->setObjectName(QString::fromUtf8(row.name));
      w->setGeometry(row.left, row.top, row.width, row.height);
      if (auto* label = qobject_cast<QLabel*>(w)) SetCaption(label, caption);
    });
  }
  // The window's fields are bound to its controls by name, as the loader finds them.
  form.push_back([this] {
    ComboBox1 = findChild<QComboBox*>(QStringLiteral("ComboBox1"));
    CheckBox2 = findChild<QCheckBox*>(QStringLiteral("CheckBox2"));
    Label1 = findChild<QLabel*>(QStringLiteral("Label1"));
    Label4 = findChild<QLabel*>(QStringLiteral("Label4"));
    SpinEdit1 = findChild<QSpinBox*>(QStringLiteral("SpinEdit1"));
    CheckBox3 = findChild<QCheckBox*>(QStringLiteral("CheckBox3"));
    Label3 = findChild<QLabel*>(QStringLiteral("Label3"));
    CheckBox1 = findChild<QCheckBox*>(QStringLiteral("CheckBox1"));
    Memo1 = findChild<qb::TLogView*>(QStringLiteral("Memo1"));
    Label2 = findChild<QLabel*>(QStringLiteral("Label2"));
    Memo2 = findChild<QPlainTextEdit*>(QStringLiteral("Memo2"));
    Button2 = findChild<QPushButton*>(QStringLiteral("Button2"));
    Button1 = findChild<QPushButton*>(QStringLiteral("Button1"));
  });
  form.insert(
      form.end(),
      {
          [this] { CheckBox2->setChecked(true); },
          [this] {
            SpinEdit1->setRange(1, 127);
            SpinEdit1->setValue(1);
            // A typed value outside the range is clamped when the box loses the focus.
            SpinEdit1->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
          },
          [this] { CheckBox3->setChecked(true); },
          [this] { CheckBox1->setChecked(false); },
          // The log keeps the newest lines only, so a long night in debug mode stays bounded.
          [this] { Memo1->SetMaxLines(100000); },
          [this, controls] {
            std::vector<ControlRow> order;
            for (const ControlRow& row : controls)
              if (row.tab_order >= 0) order.push_back(row);
            std::sort(order.begin(), order.end(), [](const ControlRow& a, const ControlRow& b) {
              return a.tab_order < b.tab_order;
            });
            for (size_t i = 1; i < order.size(); ++i)
              setTabOrder(findChild<QWidget*>(QString::fromUtf8(order[i - 1].name)),
                          findChild<QWidget*>(QString::fromUtf8(order[i].name)));
          },
          [this] {
            // Controls have no event objects of their own: they hand the window as the sender.
            auto guarded = [this](void (TForm1::*handler)(qb::TObject*)) {
              return [this, handler] { qb::Guarded([&] { (this->*handler)(this); }); };
            };
            connect(ComboBox1, &QComboBox::activated, this, guarded(&TForm1::ComboBox1Change));
            connect(CheckBox1, &QCheckBox::toggled, this, guarded(&TForm1::CheckBox1Click));
            connect(Button1, &QPushButton::clicked, this, guarded(&TForm1::Button1Click));
            connect(Button2, &QPushButton::clicked, this, guarded(&TForm1::Button2Click));
          },
          [this, guarded =
                     [this](void (TForm1::*handler)(qb::TObject*)) {
                       return [this, handler] { qb::Guarded([&] { (this->*handler)(this); }); };
                     }] {
            SyncButton = new QPushButton(QStringLiteral("Sync"), this);
            SyncButton->setObjectName(QStringLiteral("SyncButton"));
            SyncButton->setGeometry(96, 62, 57, 21);
            setTabOrder(SpinEdit1, SyncButton);
            connect(SyncButton, &QPushButton::clicked, this, guarded(&TForm1::SyncButtonClick));
            SyncDialog = new TSyncDialog(
                this, [this](const TSyncDialog::Values& v) { qb::Guarded([&] { ApplySync(v); }); });
          },
      });
  layout.Add(this, std::move(form));

  layout.Add(TextTrayIcon1, {
                                [this] { TextTrayIcon1->SetCycleInterval(0); },
                                [this] { TextTrayIcon1->SetHint("quillbox"); },
                                [this] { TextTrayIcon1->SetIcon(StoredTrayIcon()); },
                                [this] { TextTrayIcon1->SetIconVisible(true); },
                                [this] { TextTrayIcon1->SetIconIndex(0); },
                                [this] { TextTrayIcon1->SetMinimizeToTray(true); },
                                [this] {
                                  TextTrayIcon1->OnDblClick = [this](qb::TObject* s) {
                                    TextTrayIcon1DblClick(s);
                                  };
                                },
                                [this] { TextTrayIcon1->SetText("O"); },
                                [this] {
                                  qb::TFont f;
                                  f.SetCharset(1);  // the default character set
                                  f.SetColor(qb::clWindowText);
                                  f.SetHeight(-11);
                                  f.SetName("MS Sans Serif");
                                  f.SetStyle(0);
                                  TextTrayIcon1->SetFont(f);
                                },
                                [this] { TextTrayIcon1->SetColor(qb::clYellow); },
                                [this] { TextTrayIcon1->SetBorder(true); },
                                [this] {
                                  qb::TOffsetOptions o;
                                  o.SetOffsetX(0);
                                  o.SetOffsetY(0);
                                  o.SetLineDistance(0);
                                  TextTrayIcon1->SetOptions(o);
                                },
                            });
  layout.Add(Timer2, {
                         [this] { Timer2->SetEnabled(true); },
                         [this] { Timer2->SetInterval(2000); },
                         [this] { Timer2->SetOnTimer([this](qb::TObject* s) { Timer2Timer(s); }); },
                     });
  layout.Load();
}
