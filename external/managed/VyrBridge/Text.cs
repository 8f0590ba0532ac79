using System;
using System.Collections.Generic;
using System.Text;

namespace vyr.bridge;

/// <summary>
/// Text across the face: UTF-8 both ways, strictly. A string that holds a lone surrogate is
/// refused with <see cref="ArgumentException"/> (never turned into U+FFFD, which would name
/// another id); bytes from the store that are not UTF-8 are refused the same way. A
/// character outside the Basic Multilingual Plane is two UTF-16 units.
/// </summary>
internal static unsafe class Text
{
    private static readonly UTF8Encoding strict = new(encoderShouldEmitUTF8Identifier: false, throwOnInvalidBytes: true);

    /// <summary>The UTF-8 bytes of a string handed to the store.</summary>
    public static byte[] Bytes(string value, string parameter)
    {
        ArgumentNullException.ThrowIfNull(value, parameter);
        try
        {
            return strict.GetBytes(value);
        }
        catch (EncoderFallbackException error)
        {
            throw new ArgumentException(
                $"The text holds a lone surrogate at index {error.Index}, which UTF-8 cannot carry.", parameter, error);
        }
    }

    /// <summary>The face's view of bytes pinned by the caller.</summary>
    public static NativeText Of(byte* data, byte[] bytes) => new() { Data = data, Size = (nuint)bytes.Length };

    /// <summary>The string of text that lies in a block of the face; the block stays.</summary>
    public static string Read(NativeText text) =>
        text.Size == 0 ? string.Empty : strict.GetString(text.Data, checked((int)text.Size));

    /// <summary>The string of a text block the face handed out, which is freed.</summary>
    public static string Take(NativeText text, FaceTable* face)
    {
        try
        {
            return Read(text);
        }
        finally
        {
            face->FreeBlock(text.Data);
        }
    }

    /// <summary>The strings of a list block, which is freed; null for a null list.</summary>
    public static List<string>? TakeList(NativeList* list, FaceTable* face)
    {
        if (list == null)
        {
            return null;
        }
        try
        {
            var items = new List<string>(checked((int)list->Count));
            for (nuint index = 0; index < list->Count; ++index)
            {
                items.Add(Read(list->Items[index]));
            }
            return items;
        }
        finally
        {
            face->FreeBlock(list);
        }
    }
}
