#include "PocketDocument.h"

#include "AtomicFile.h"
#include "ByteCount.h"
#include "FileLook.h"
#include "Glossary.h"
#include "PocketPayload.h"
#include "PocketVaultError.h"
#include "SecretText.h"

#include <QFileInfo>
#include <mutex>

namespace larkhold {

namespace {

// The largest file one item may hold, as the import enforces it; shown in the open panel.
constexpr std::int64_t kImportLimitBytes = 5'242'880;

// Held while a file becomes an item: one photo at a time is decoded in the whole process, so that
// what the import may take in memory holds for every window together. Never freed: a thread stuck
// on a dead share may hold it while the process ends.
std::mutex& oneImportAtATime() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

} // namespace

PocketDocument::PocketDocument(PocketItems items, std::int64_t capacity, PocketDocumentHost* host, QObject* parent)
    : QObject(parent), items_(std::move(items)), capacity_(capacity), host_(host) {
    if (!items_.empty())
        selection_ = items_.front().id;
}

PocketDocument::~PocketDocument() {
    dropImports();
}

void PocketDocument::dropImports() {
    auto nothingTaken = [](const ImportRequest& request) {
        request.answer->addResult(Added{QList<std::optional<QUuid>>(request.paths.size(), std::nullopt), {}});
        request.answer->finish();
    };
    if (inFlight_) {
        inFlight_->stop->store(true);
        if (host_)
            host_->stopFileImports();
        nothingTaken(inFlight_->request);
        inFlight_.reset();
    }
    for (const ImportRequest& request : queuedImports_)
        nothingTaken(request);
    queuedImports_.clear();
}

const PocketItem* PocketDocument::item(const QUuid& id) const {
    const std::optional<std::size_t> index = indexOf(id);
    return index ? &items_[*index] : nullptr;
}

std::optional<std::size_t> PocketDocument::indexOf(const QUuid& id) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].id == id)
            return i;
    return std::nullopt;
}

void PocketDocument::setSelection(std::optional<QUuid> id) {
    if (id == selection_)
        return;
    selection_ = id;
    emit selectionChanged();
}

void PocketDocument::setNotice(std::optional<QString> notice) {
    if (notice == notice_)
        return;
    notice_ = std::move(notice);
    emit noticeChanged();
}

bool PocketDocument::commit(PocketItems candidate) {
    const std::int64_t needed = PocketPayload::sizeOf(candidate);
    if (capacity_ < needed) {
        setNotice(PocketVaultError::full(needed, capacity_).message());
        return false;
    }
    items_ = std::move(candidate);
    announceChange();
    return true;
}

bool PocketDocument::commitEdit(const std::function<void()>& swapFields) {
    swapFields();
    const std::int64_t needed = PocketPayload::sizeOf(items_);
    if (capacity_ < needed) {
        swapFields();
        setNotice(PocketVaultError::full(needed, capacity_).message());
        return false;
    }
    announceChange();
    return true;
}

void PocketDocument::announceChange() {
    emit itemsChanged();
    // A copy: the owner may drop or replace the callback from inside it.
    if (std::function<void()> onChange = onChange_)
        onChange();
}

QFuture<PocketDocument::Added> PocketDocument::add(const QStringList& paths, bool optimizePhotos) {
    auto answer = std::make_shared<QPromise<Added>>();
    answer->start();
    QFuture<Added> future = answer->future();
    queuedImports_.push_back({paths, optimizePhotos, answer});
    if (!inFlight_)
        startNextImport();
    return future;
}

void PocketDocument::startNextImport() {
    if (queuedImports_.empty())
        return;
    inFlight_ = ImportInFlight{std::make_shared<std::atomic_bool>(false), std::move(queuedImports_.front())};
    queuedImports_.pop_front();
    using Files = std::shared_ptr<std::vector<ImportedFile>>;
    lookOffThread<Files>(
        this,
        [import = host_ ? host_->fileImport() : PocketDocumentHost::FileImport(), paths = inFlight_->request.paths,
         optimizePhotos = inFlight_->request.optimizePhotos, stop = inFlight_->stop] {
            auto files = std::make_shared<std::vector<ImportedFile>>();
            if (!import)
                return files;
            for (const QString& path : paths) {
                const std::lock_guard lock(oneImportAtATime());
                // A lock or a closed window wants nothing more read.
                if (stop->load())
                    break;
                ImportedFile file{path, std::nullopt, QString()};
                try {
                    file.item = import(path, optimizePhotos);
                } catch (const std::exception& e) {
                    file.problem = QString::fromUtf8(e.what());
                }
                files->push_back(std::move(file));
            }
            return files;
        },
        [this, wipes = wipes_](const Files& files) {
            // Wiped meanwhile: what was read goes with `files`, wiped as it is freed.
            if (wipes != wipes_ || !inFlight_)
                return;
            const ImportRequest request = std::move(inFlight_->request);
            inFlight_.reset();
            Added added = takeImported(*files);
            // Files the reading did not reach were not taken either.
            while (added.items.size() < request.paths.size())
                added.items.append(std::nullopt);
            request.answer->addResult(std::move(added));
            request.answer->finish();
            startNextImport();
        });
}

PocketDocument::Added PocketDocument::takeImported(const std::vector<ImportedFile>& files) {
    PocketItems working = items_;
    std::int64_t workingSize = PocketPayload::sizeOf(working);
    Added added;
    std::optional<QUuid> lastAdded;

    for (const ImportedFile& file : files) {
        added.items.append(std::nullopt);
        if (!file.item) {
            added.problems.append(file.problem);
            continue;
        }
        // Each file is measured together with the ones taken before it in this same add.
        working.push_back(*file.item);
        const std::int64_t needed = PocketPayload::sizeOf(working);
        if (capacity_ < needed) {
            working.pop_back();
            added.problems.append(QStringLiteral("“%1” doesn’t fit — %2 left.")
                                      .arg(QFileInfo(file.path).fileName(), formatByteCount(capacity_ - workingSize)));
            continue;
        }
        workingSize = needed;
        lastAdded = working.back().id;
        added.items.back() = lastAdded;
    }

    if (working.size() != items_.size() && commit(std::move(working)))
        setSelection(lastAdded);
    else
        added.items.fill(std::nullopt);
    setNotice(added.problems.isEmpty() ? std::nullopt : std::optional<QString>(added.problems.join(QLatin1Char('\n'))));
    return added;
}

void PocketDocument::addNote() {
    PocketItem note = PocketItem::note(QStringLiteral("New Note"), QString(), Date::now());
    const QUuid id = note.id;
    PocketItems candidate = items_;
    candidate.push_back(std::move(note));
    if (commit(std::move(candidate)))
        setSelection(id);
}

void PocketDocument::rename(const QUuid& id, const QString& newName) {
    const std::optional<std::size_t> index = indexOf(id);
    if (!index || items_[*index].name == newName)
        return;
    QString name = newName;
    Date modified = Date::now();
    PocketItem& item = items_[*index];
    commitEdit([&] {
        std::swap(item.name, name);
        std::swap(item.modified, modified);
    });
}

void PocketDocument::setText(const QUuid& id, const QString& text) {
    const std::optional<std::size_t> index = indexOf(id);
    if (!index)
        return;
    // The note's text is a secret like the rest of the item.
    SecureBytes data = secretUtf8(text);
    if (data == items_[*index].data)
        return;
    Date modified = Date::now();
    PocketItem& item = items_[*index];
    commitEdit([&] {
        std::swap(item.data, data);
        std::swap(item.modified, modified);
    });
}

void PocketDocument::deleteItem(const QUuid& id) {
    const std::optional<std::size_t> index = indexOf(id);
    if (!index)
        return;
    PocketItems candidate = items_;
    candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(*index));
    if (!commit(std::move(candidate)))
        return;
    if (items_.empty())
        setSelection(std::nullopt);
    else
        setSelection(items_[std::min(items_.size() - 1, *index)].id);
}

void PocketDocument::wipe() {
    // SecureBytes wipes each item's data as it is freed.
    PocketItems().swap(items_);
    onChange_ = nullptr;
    // Files still being read never join; the thread reading them stops at the next file.
    ++wipes_;
    dropImports();
    emit itemsChanged();
    setSelection(std::nullopt);
}

void PocketDocument::exportItem(const QUuid& id) {
    const PocketItem* found = item(id);
    if (!found || !host_)
        return;
    const QString name = found->name;
    const QString proposed = found->kind == PocketItem::Kind::note ? name + QStringLiteral(".txt") : name;

    const std::optional<QString> target = host_->chooseExportPath(
        proposed,
        QStringLiteral("The exported copy is not encrypted and can leave traces on this %1.").arg(glossary::computer),
        QStringLiteral("Export"));
    if (!target)
        return;
    // Found again: the panel was modal, and the vault may have locked or the item gone meanwhile.
    found = item(id);
    if (!found)
        return;
    try {
        writeFileAtomically(*target, ByteView(found->data), WriteMode::replace);
    } catch (const std::exception& e) {
        setNotice(QStringLiteral("Could not export “%1”: %2").arg(name, QString::fromUtf8(e.what())));
    }
}

void PocketDocument::chooseFiles(bool optimizePhotos) {
    if (!host_)
        return;
    const QStringList paths =
        host_->chooseFilesToAdd(QStringLiteral("Notes (text files), photos (JPEG, PNG, HEIC) and PDFs — up to %1 each")
                                    .arg(formatByteCount(kImportLimitBytes)),
                                QStringLiteral("Add"));
    if (!paths.isEmpty())
        add(paths, optimizePhotos);
}

} // namespace larkhold
