// Error values shared by every layer of the client.
//
// Operations that can fail throw a subclass of `Error` (through coroutines,
// QCoro stores the exception in the task and rethrows it at `co_await`).
// Each error can present itself the way the activity log describes errors:
// an optional user-facing description, an optional recovery suggestion, and
// a general error record (domain, code, description, underlying cause).
//
// Mapping of Qt's failures onto the general record:
//   - network transport failures: domain "QNetworkReply", code = the
//     QNetworkReply::NetworkError value, description = the reply's errorString()
//     (see TransportError in core/server/httpsession.h);
//   - file failures: domain "QFileDevice", code = the QFileDevice::FileError
//     value, description = the device's errorString();
//   - JSON encoding and other failures without a code of their own: the
//     general domain "LunvikPhotos" with code 0, which describe() does not
//     spell out as a "Domain:" line.
#pragma once

#include <QString>

#include <exception>
#include <memory>
#include <optional>

class Error : public std::exception
{
public:
    // The general-purpose domain; its code 0 means "no specific code".
    static inline const QString generalDomain = QStringLiteral("LunvikPhotos");

    struct Record {
        QString domain;
        qint64 code = 0;
        QString localizedDescription;
        std::shared_ptr<const Error> underlying;
    };

    ~Error() override = default;

    // Present only for errors that carry a user-facing description of their own.
    virtual std::optional<QString> errorDescription() const { return std::nullopt; }
    virtual std::optional<QString> recoverySuggestion() const { return std::nullopt; }
    virtual Record record() const = 0;
    // Last-resort text when nothing else describes the error.
    virtual QString debugDescription() const;

    const char *what() const noexcept override;

private:
    mutable QByteArray m_what;
};

// An error known only by its general record: file errors, encoding errors,
// and anything wrapped from outside the project.
class PlatformError : public Error
{
public:
    PlatformError(QString domain, qint64 code, QString description,
                  std::shared_ptr<const Error> underlying = {});

    static PlatformError general(const QString &description);

    Record record() const override { return m_record; }

private:
    Record m_record;
};

// A failed file operation: domain "QFileDevice", code = QFileDevice::FileError.
PlatformError fileError(int qfileError, const QString &description);
