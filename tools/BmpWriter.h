#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Encodes a picture as a 24-bit uncompressed BMP file: 14-byte file header, 40-byte information
// header, no palette, pixel data at offset 54, rows stored bottom-up, each row blue-green-red
// bytes padded with zeros to a multiple of 4 bytes. The file size and image size fields hold the
// real sizes; resolution and colour counts are 0. Alpha is dropped. A null picture gives an empty
// array.
QByteArray EncodeBmp24(const QImage& picture);

// Writes EncodeBmp24(picture) to `path`, replacing the file. Returns false and fills `error`
// when the picture is null or the file cannot be written completely.
bool WriteBmp24(const QImage& picture, const QString& path, QString* error);
