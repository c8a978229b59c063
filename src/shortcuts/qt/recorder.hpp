#pragma once
// The recorder with an optional label beside it, for settings forms:
//
//     auto* start = new GlobalShortcuts::Recorder(QObject::tr("Start Call:"), startSession);
//     start->addTo(*form);   // the label in the form's label column, the recorder beside it
//
// Without a label it is the recorder alone, with no room kept for one.

#include <QString>
#include <QWidget>

#include "shortcuts/qt/recorder_qt.hpp"

class QFormLayout;

namespace GlobalShortcuts {

class Recorder : public QWidget {
public:
    explicit Recorder(Name name, RecorderControl::OnChange onChange = {}, QWidget* parent = nullptr,
                      std::shared_ptr<ShortcutLayer> layer = {});
    Recorder(const QString& title, Name name, RecorderControl::OnChange onChange = {}, QWidget* parent = nullptr,
             std::shared_ptr<ShortcutLayer> layer = {});
    // `label` is taken over (any widget).
    Recorder(Name name, RecorderControl::OnChange onChange, QWidget* label, QWidget* parent = nullptr,
             std::shared_ptr<ShortcutLayer> layer = {});

    RecorderQt* control() const { return control_; }
    QWidget* label() const { return label_; }

    // Shows another name's shortcut; the control and its change callback stay.
    void setName(Name name) { control_->setShortcutName(std::move(name)); }

    // Adds a row to `form`: the label in its label column and the recorder in its field column,
    // so that the recorders of several rows line up; without a label the row is the recorder alone.
    void addTo(QFormLayout& form);

private:
    void build(QWidget* label);

    RecorderQt* control_ = nullptr;
    QWidget* label_ = nullptr;
};

}  // namespace GlobalShortcuts
