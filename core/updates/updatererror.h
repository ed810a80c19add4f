// Why an update check or an update failed. The description is the log's
// (untranslated); the update dialog shows texts of its own for each kind.
#pragma once

#include "error.h"

class UpdaterError : public Error
{
public:
    enum class Kind {
        configurationInvalid, // the build's feed address or public key cannot be used
        feedUnavailable, // the feed could not be fetched
        feedInvalid, // the feed is too large or not a readable RSS feed
        downloadFailed, // the update could not be fetched or stored
        lengthMismatch, // the download does not have the announced length
        signatureInvalid, // the download's signature does not verify
        saveFailed, // the verified update could not be put into Downloads
    };

    static inline const QString domain = QStringLiteral("LunvikPhotos.Updater");

    UpdaterError(Kind kind, QString detail, std::shared_ptr<const Error> underlying = {});

    Kind kind() const { return m_kind; }
    const QString &detail() const { return m_detail; }

    std::optional<QString> errorDescription() const override;
    Record record() const override;

private:
    Kind m_kind;
    QString m_detail;
    std::shared_ptr<const Error> m_underlying;
};
