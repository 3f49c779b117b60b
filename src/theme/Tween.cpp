#include "Tween.h"

#include "Look.h"

namespace larkhold {

Tween::Tween(QObject* owner, int durationMs, Curve curve, std::function<void(qreal)> step)
    : owner_(owner), durationMs_(durationMs), curve_(curve), step_(std::move(step)) {}

Tween::~Tween() {
    // Before the owner's children go: a step must never reach an owner half taken down.
    delete child_.data();
}

QVariantAnimation* Tween::animation(bool endless) {
    if (QVariantAnimation* made = own_ ? own_.get() : child_.data())
        return made;
    auto* made = new QVariantAnimation(endless ? nullptr : owner_);
    if (endless)
        own_.reset(made);
    else
        child_ = made;
    made->setDuration(durationMs_);
    if (curve_ == Curve::easeOut)
        made->setEasingCurve(Theme::easeOut());
    QObject::connect(made, &QVariantAnimation::valueChanged, owner_,
                     [this](const QVariant& value) { step_(value.toReal()); });
    return made;
}

void Tween::run(qreal from, qreal to, int loops) {
    QVariantAnimation* running = animation(loops < 0);
    running->stop();
    running->setLoopCount(loops);
    running->setStartValue(from);
    running->setEndValue(to);
    running->start();
}

void Tween::stop() {
    if (QVariantAnimation* made = own_ ? own_.get() : child_.data())
        made->stop();
}

bool Tween::isRunning() const {
    const QVariantAnimation* made = own_ ? own_.get() : child_.data();
    return made && made->state() == QAbstractAnimation::Running;
}

} // namespace larkhold
