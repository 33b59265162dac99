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

// Encodes a picture of at most 16 colours as a 4-bit BMP file: the headers as above with 4 bits
// per pixel and 16 colours used, the picture's colour table padded to 16 entries (blue, green,
// red, 0) at offset 54, pixel data at offset 118, rows bottom-up, two pixels a byte (the left one
// in the high half), each row padded with zeros to a multiple of 4 bytes. The picture must be
// Format_Indexed8 with a table of at most 16 colours and every index below 16; anything else (or
// a null picture) gives an empty array.
QByteArray EncodeBmp4(const QImage& picture);

// Writes EncodeBmp4(picture) to `path`, replacing the file; false and `error` filled on failure.
bool WriteBmp4(const QImage& picture, const QString& path, QString* error);
