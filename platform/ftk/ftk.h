/* C interface of the tracking camera driver library fusionTrack64. */
#ifndef FTK_H
#define FTK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(FTK_BUILDING_LIBRARY)
#define FTK_API __attribute__((visibility("default")))
#else
#define FTK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status of every call: 0 success, negative a warning, positive an error. */
typedef int32_t ftkStatus;

#define FTK_OK 0
#define FTK_WAR_NO_FRAME (-1)
#define FTK_WAR_SHOCK_DETECTED (-17)
#define FTK_WAR_SHOCK_SENSOR_FAULT (-40)
#define FTK_ERR_INVALID_ARGUMENT 1
#define FTK_ERR_NO_DEVICE 2
#define FTK_ERR_REFUSED 3
#define FTK_ERR_INTERNAL 4
#define FTK_ERR_UNKNOWN_OPTION 5
#define FTK_ERR_NO_LIBRARY 6

/* Device types. */
typedef int32_t ftkDeviceType;
#define FTK_DEVICE_SIMULATOR 0
#define FTK_DEVICE_FUSIONTRACK_500 2
#define FTK_DEVICE_FUSIONTRACK_250 3
#define FTK_DEVICE_SPRYTRACK_180 4
#define FTK_DEVICE_SPRYTRACK_300 5

/* Query status of a frame part (signed 8-bit). */
typedef int8_t ftkPartStatus;
#define FTK_PART_SKIPPED (-1)
#define FTK_PART_OK 0
#define FTK_PART_OVERFLOW 1
#define FTK_PART_INVALID_RESERVED_SIZE 2
#define FTK_PART_INVALID 3 /* nothing usable: the fetch failed */

#define FTK_MAX_GEOMETRY_FIDUCIALS 6
#define FTK_NO_CORRESPONDENCE 0xFFFFFFFFu
#define FTK_ERROR_TEXT_SIZE 1024
#define FTK_DATA_BUFFER_SIZE 10240
#define FTK_OPTION_NAME_SIZE 64
#define FTK_VALUE_CURRENT 3

/* Opaque handle of an initialised library. */
typedef struct ftkLibraryImpl* ftkLibrary;

typedef struct ftkPoint3 {
    float x, y, z;
} ftkPoint3;

/* A rigid marker: geometry id, version, number of fiducials and their positions (mm). */
typedef struct ftkGeometry {
    uint32_t geometryId;
    uint32_t version;
    uint32_t pointsCount;
    ftkPoint3 positions[FTK_MAX_GEOMETRY_FIDUCIALS];
} ftkGeometry;

/* One option a device offers. */
typedef struct ftkOptionInfo {
    uint32_t id;
    char name[FTK_OPTION_NAME_SIZE];
} ftkOptionInfo;

/* Buffer of an option whose value is data. */
typedef struct ftkDataBuffer {
    char data[FTK_DATA_BUFFER_SIZE];
    uint32_t size;
} ftkDataBuffer;

/* Header of the images of a frame. */
typedef struct ftkImageInfo {
    uint64_t timestampUs;
    uint32_t counter;
    uint16_t width;
    uint16_t height;
} ftkImageInfo;

/* One blob detected in one camera's image. */
typedef struct ftkRawDetection {
    float centerX, centerY; /* pixels */
    uint16_t width, height; /* bounding box, pixels */
    uint32_t pixelCount;
} ftkRawDetection;

/* One triangulated fiducial. */
typedef struct ftkFiducial3D {
    uint32_t leftIndex;       /* index into the left raw detections */
    uint32_t rightIndex;      /* index into the right raw detections */
    ftkPoint3 position;       /* mm */
    float epipolarError;      /* pixels */
    float triangulationError; /* mm */
    float probability;
} ftkFiducial3D;

/* One detected marker. */
typedef struct ftkMarkerPose {
    uint32_t geometryId;
    uint32_t correspondences[FTK_MAX_GEOMETRY_FIDUCIALS]; /* index into the 3-D fiducials, or none */
    float rotation[3][3];                                 /* row by row */
    float translation[3];                                 /* mm */
    float registrationError;                              /* mm */
} ftkMarkerPose;

/* A frame: filled by ftkGetLastFrame, owned by the driver. Each array has the capacity set with
   ftkSetFrameOptions, a count and a status. */
typedef struct ftkFrame {
    ftkImageInfo* imageHeader;
    ftkPartStatus imageHeaderStatus;
    uint8_t* leftPixels; /* width * height bytes, row after row */
    ftkPartStatus leftPixelsStatus;
    uint8_t* rightPixels;
    ftkPartStatus rightPixelsStatus;

    ftkRawDetection* leftRaw;
    uint32_t leftRawCount, leftRawCapacity;
    ftkPartStatus leftRawStatus;
    ftkRawDetection* rightRaw;
    uint32_t rightRawCount, rightRawCapacity;
    ftkPartStatus rightRawStatus;

    ftkFiducial3D* fiducials;
    uint32_t fiducialsCount, fiducialsCapacity;
    ftkPartStatus fiducialsStatus;

    ftkMarkerPose* markers;
    uint32_t markersCount, markersCapacity;
    ftkPartStatus markersStatus;

    uint32_t eventsCapacity;
    uint32_t eventsCount;
} ftkFrame;

typedef void (*ftkDeviceCallback)(uint64_t serialNumber, void* user, ftkDeviceType type);
typedef void (*ftkOptionCallback)(uint64_t serialNumber, void* user, ftkOptionInfo* option);

FTK_API ftkLibrary ftkInit(void);
/* Closes the library and sets the handle to null. */
FTK_API ftkStatus ftkClose(ftkLibrary* library);
FTK_API ftkStatus ftkEnumerateDevices(ftkLibrary library, ftkDeviceCallback callback, void* user);
FTK_API ftkStatus ftkEnumerateOptions(ftkLibrary library, uint64_t serialNumber, ftkOptionCallback callback,
                                      void* user);
FTK_API ftkStatus ftkGetInt32(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, int32_t* value,
                              int32_t which);
FTK_API ftkStatus ftkSetInt32(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, int32_t value);
FTK_API ftkStatus ftkSetFloat32(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, float value);
FTK_API ftkStatus ftkSetData(ftkLibrary library, uint64_t serialNumber, uint32_t optionId,
                             ftkDataBuffer* buffer);
FTK_API ftkFrame* ftkCreateFrame(void);
FTK_API ftkStatus ftkSetFrameOptions(bool pixels, uint32_t eventsCount, uint32_t leftRawCount,
                                     uint32_t rightRawCount, uint32_t fiducialsCount, uint32_t markersCount,
                                     ftkFrame* frame);
FTK_API ftkStatus ftkDeleteFrame(ftkFrame* frame);
/* Waits at most timeoutMs for a frame newer than the last one fetched; FTK_WAR_NO_FRAME when none came. */
FTK_API ftkStatus ftkGetLastFrame(ftkLibrary library, uint64_t serialNumber, ftkFrame* frame,
                                  uint32_t timeoutMs);
FTK_API ftkStatus ftkSetGeometry(ftkLibrary library, uint64_t serialNumber, ftkGeometry* geometry);
FTK_API ftkStatus ftkClearGeometry(ftkLibrary library, uint64_t serialNumber, uint32_t geometryId);
/* Writes the last error's text, terminated, into buffer; an error when the handle is null. */
FTK_API ftkStatus ftkGetLastErrorString(ftkLibrary library, size_t bufferSize, char* buffer);

#ifdef __cplusplus
}
#endif

#endif /* FTK_H */
