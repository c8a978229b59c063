#include "shortcuts/qt/recorder.hpp"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>

namespace GlobalShortcuts {

Recorder::Recorder(Name name, RecorderControl::OnChange onChange, QWidget* parent,
                   std::shared_ptr<ShortcutLayer> layer)
    : QWidget(parent), control_(new RecorderQt(std::move(name), std::move(onChange), this, std::move(layer))) {
    build(nullptr);
}

Recorder::Recorder(const QString& title, Name name, RecorderControl::OnChange onChange, QWidget* parent,
                   std::shared_ptr<ShortcutLayer> layer)
    : QWidget(parent), control_(new RecorderQt(std::move(name), std::move(onChange), this, std::move(layer))) {
    auto* label = new QLabel(title);
    label->setBuddy(control_);
    build(label);
}

Recorder::Recorder(Name name, RecorderControl::OnChange onChange, QWidget* label, QWidget* parent,
                   std::shared_ptr<ShortcutLayer> layer)
    : QWidget(parent), control_(new RecorderQt(std::move(name), std::move(onChange), this, std::move(layer))) {
    build(label);
}

void Recorder::build(QWidget* label) {
    label_ = label;
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    if (label_) row->addWidget(label_, 0, Qt::AlignBaseline);
    row->addWidget(control_, 0, Qt::AlignBaseline);
    setFocusProxy(control_);
}

void Recorder::addTo(QFormLayout& form) {
    if (!label_) {
        form.addRow(this);
        return;
    }
    layout()->removeWidget(label_);
    form.addRow(label_, this);
}

}  // namespace GlobalShortcuts
