// The device description (filled per URL base, UDN and name) and the two constant service
// descriptions.
#include "server/descriptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "http/http_writers.h"
#include "runtime/device_icons.h"
#include "runtime/device_identity.h"
#include "runtime/text_buffer.h"
#include "runtime/xml_escape.h"

// One line without line breaks; filled with the UDN, the friendly name, the URLBase (as the
// presentation page's address), the icon list and the URLBase.
static const char kDeviceTemplate[] =
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></specVersion>"
    "<device>"
    "<dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>"
    "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>"
    "<UDN>%s</UDN>"
    "<friendlyName>%s</friendlyName>"
    "<manufacturer>KestrelBloom GmbH</manufacturer>"
    "<manufacturerURL>http://www.kestrelbloom.example</manufacturerURL>"
    "<modelName>KestrelBloom Media Server</modelName>"
    "<modelNumber>1.0</modelNumber>"
    "<modelURL>http://www.kestrelbloom.example/UPnP</modelURL>"
    "<modelDescription>KestrelBloom UPnP Media Server</modelDescription>"
    "<serialNumber></serialNumber>"
    "<UPC></UPC>"
    "<presentationURL>%s</presentationURL>"
    "<iconList>%s</iconList>"
    "<serviceList>"
    "<service>"
    "<serviceType>urn:schemas-upnp-org:service:ContentDirectory:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>"
    "<SCPDURL>/ContentDirectory.xml</SCPDURL>"
    "<eventSubURL>/ContentDirectory/Event</eventSubURL>"
    "<controlURL>/ContentDirectory/Control</controlURL>"
    "</service>"
    "<service>"
    "<serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>"
    "<SCPDURL>/ConnectionManager.xml</SCPDURL>"
    "<eventSubURL>/ConnectionManager/Event</eventSubURL>"
    "<controlURL>/ConnectionManager/Control</controlURL>"
    "</service>"
    "<service>"
    "<serviceType>urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1</serviceType>"
    "<serviceId>urn:microsoft.com:serviceId:X_MS_MediaReceiverRegistrar</serviceId>"
    "<SCPDURL>/X_MS_MediaReceiverRegistrar.xml</SCPDURL>"
    "<eventSubURL>/X_MS_MediaReceiverRegistrar/Event</eventSubURL>"
    "<controlURL>/X_MS_MediaReceiverRegistrar/Control</controlURL>"
    "</service>"
    "</serviceList>"
    "</device>"
    "<URLBase>%s</URLBase>"
    "</root>";

static const char kIconFormat[] = "<icon><mimetype>%s</mimetype><width>%d</width>"
                                  "<height>%d</height><depth>24</depth><url>%s</url></icon>";

// The arguments Browse and Search share, from Filter to UpdateID, in the same words.
#define KB_PAGED_RESULT_ARGUMENTS                                                                  \
    "                <argument>\r\n"                                                               \
    "                    <name>Filter</name>\r\n"                                                  \
    "                    <direction>in</direction>\r\n"                                            \
    "                    <relatedStateVariable>A_ARG_TYPE_Filter</relatedStateVariable>\r\n"       \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>StartingIndex</name>\r\n"                                           \
    "                    <direction>in</direction>\r\n"                                            \
    "                    <relatedStateVariable>A_ARG_TYPE_Index</relatedStateVariable>\r\n"        \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>RequestedCount</name>\r\n"                                          \
    "                    <direction>in</direction>\r\n"                                            \
    "                    <relatedStateVariable>A_ARG_TYPE_Count</relatedStateVariable>\r\n"        \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>SortCriteria</name>\r\n"                                            \
    "                    <direction>in</direction>\r\n"                                            \
    "                    <relatedStateVariable>A_ARG_TYPE_SortCriteria</relatedStateVariable>\r\n" \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>Result</name>\r\n"                                                  \
    "                    <direction>out</direction>\r\n"                                           \
    "                    <relatedStateVariable>A_ARG_TYPE_Result</relatedStateVariable>\r\n"       \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>NumberReturned</name>\r\n"                                          \
    "                    <direction>out</direction>\r\n"                                           \
    "                    <relatedStateVariable>A_ARG_TYPE_Count</relatedStateVariable>\r\n"        \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>TotalMatches</name>\r\n"                                            \
    "                    <direction>out</direction>\r\n"                                           \
    "                    <relatedStateVariable>A_ARG_TYPE_Count</relatedStateVariable>\r\n"        \
    "                </argument>\r\n"                                                              \
    "                <argument>\r\n"                                                               \
    "                    <name>UpdateID</name>\r\n"                                                \
    "                    <direction>out</direction>\r\n"                                           \
    "                    <relatedStateVariable>A_ARG_TYPE_UpdateID</relatedStateVariable>\r\n"     \
    "                </argument>\r\n"

static const char kContentDirectoryScpd[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">\r\n"
    "    <specVersion>\r\n"
    "        <major>1</major>\r\n"
    "        <minor>0</minor>\r\n"
    "    </specVersion>\r\n"
    "    <actionList>\r\n"
    "        <action>\r\n"
    "            <name>GetSearchCapabilities</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>SearchCaps</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>SearchCapabilities</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>GetSortCapabilities</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>SortCaps</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>SortCapabilities</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>GetSystemUpdateID</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>Id</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>SystemUpdateID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>Browse</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ObjectID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>BrowseFlag</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_BrowseFlag</relatedStateVariable>\r\n"
    "                </argument>\r\n" KB_PAGED_RESULT_ARGUMENTS "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>Search</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ContainerID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>SearchCriteria</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_SearchCriteria</relatedStateVariable>\r\n"
    "                </argument>\r\n" KB_PAGED_RESULT_ARGUMENTS "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>CreateObject</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ContainerID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>Elements</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_Result</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>ObjectID</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>Result</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_Result</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>DestroyObject</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ObjectID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>UpdateObject</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ObjectID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>CurrentTagValue</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TagValueList</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>NewTagValue</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TagValueList</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>ImportResource</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>SourceURI</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_URI</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>DestinationURI</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_URI</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>TransferID</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TransferID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>GetTransferProgress</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>TransferID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TransferID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>TransferStatus</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TransferStatus</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>TransferLength</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TransferLength</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>TransferTotal</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_TransferTotal</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>DeleteResource</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ResourceURI</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_URI</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "        <action>\r\n"
    "            <name>CreateReference</name>\r\n"
    "            <argumentList>\r\n"
    "                <argument>\r\n"
    "                    <name>ContainerID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>ObjectID</name>\r\n"
    "                    <direction>in</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "                <argument>\r\n"
    "                    <name>NewID</name>\r\n"
    "                    <direction>out</direction>\r\n"
    "                    <relatedStateVariable>A_ARG_TYPE_ObjectID</relatedStateVariable>\r\n"
    "                </argument>\r\n"
    "            </argumentList>\r\n"
    "        </action>\r\n"
    "    </actionList>\r\n"
    "    <serviceStateTable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_ObjectID</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"yes\">\r\n"
    "            <name>TransferIDs</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_Result</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_SearchCriteria</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_BrowseFlag</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "            <allowedValueList>\r\n"
    "                <allowedValue>BrowseMetadata</allowedValue>\r\n"
    "                <allowedValue>BrowseDirectChildren</allowedValue>\r\n"
    "            </allowedValueList>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_Filter</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_SortCriteria</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_URI</name>\r\n"
    "            <dataType>uri</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_Index</name>\r\n"
    "            <dataType>ui4</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_Count</name>\r\n"
    "            <dataType>ui4</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_TransferID</name>\r\n"
    "            <dataType>ui4</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_TransferStatus</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "            <allowedValueList>\r\n"
    "                <allowedValue>COMPLETED</allowedValue>\r\n"
    "                <allowedValue>ERROR</allowedValue>\r\n"
    "                <allowedValue>IN_PROGRESS</allowedValue>\r\n"
    "                <allowedValue>STOPPED</allowedValue>\r\n"
    "            </allowedValueList>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_TransferLength</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_TransferTotal</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_TagValueList</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>SearchCapabilities</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>SortCapabilities</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"yes\">\r\n"
    "            <name>SystemUpdateID</name>\r\n"
    "            <dataType>ui4</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"yes\">\r\n"
    "            <name>ContainerUpdateIDs</name>\r\n"
    "            <dataType>string</dataType>\r\n"
    "        </stateVariable>\r\n"
    "        <stateVariable sendEvents=\"no\">\r\n"
    "            <name>A_ARG_TYPE_UpdateID</name>\r\n"
    "            <dataType>ui4</dataType>\r\n"
    "        </stateVariable>\r\n"
    "    </serviceStateTable>\r\n"
    "</scpd>\r\n";

static const char kConnectionManagerScpd[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">\r\n"
    "   <specVersion>\r\n"
    "      <major>1</major>\r\n"
    "      <minor>0</minor>\r\n"
    "   </specVersion>\r\n"
    "   <actionList>\r\n"
    "      <action>\r\n"
    "         <name>GetProtocolInfo</name>\r\n"
    "         <argumentList>\r\n"
    "            <argument>\r\n"
    "               <name>Source</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>SourceProtocolInfo</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>Sink</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>SinkProtocolInfo</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "         </argumentList>\r\n"
    "      </action>\r\n"
    "      <action>\r\n"
    "         <name>PrepareForConnection</name>\r\n"
    "         <argumentList>\r\n"
    "            <argument>\r\n"
    "               <name>RemoteProtocolInfo</name>\r\n"
    "               <direction>in</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ProtocolInfo</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>PeerConnectionManager</name>\r\n"
    "               <direction>in</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionManager</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>PeerConnectionID</name>\r\n"
    "               <direction>in</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>Direction</name>\r\n"
    "               <direction>in</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_Direction</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>ConnectionID</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>AVTransportID</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_AVTransportID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>RcsID</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_RcsID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "         </argumentList>\r\n"
    "      </action>\r\n"
    "      <action>\r\n"
    "         <name>ConnectionComplete</name>\r\n"
    "         <argumentList>\r\n"
    "            <argument>\r\n"
    "               <name>ConnectionID</name>\r\n"
    "               <direction>in</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "         </argumentList>\r\n"
    "      </action>\r\n"
    "      <action>\r\n"
    "         <name>GetCurrentConnectionIDs</name>\r\n"
    "         <argumentList>\r\n"
    "            <argument>\r\n"
    "               <name>ConnectionIDs</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>CurrentConnectionIDs</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "         </argumentList>\r\n"
    "      </action>\r\n"
    "      <action>\r\n"
    "         <name>GetCurrentConnectionInfo</name>\r\n"
    "         <argumentList>\r\n"
    "            <argument>\r\n"
    "               <name>ConnectionID</name>\r\n"
    "               <direction>in</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>RcsID</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_RcsID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>AVTransportID</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_AVTransportID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>ProtocolInfo</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ProtocolInfo</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>PeerConnectionManager</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionManager</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>PeerConnectionID</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionID</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>Direction</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_Direction</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "            <argument>\r\n"
    "               <name>Status</name>\r\n"
    "               <direction>out</direction>\r\n"
    "               <relatedStateVariable>A_ARG_TYPE_ConnectionStatus</relatedStateVariable>\r\n"
    "            </argument>\r\n"
    "         </argumentList>\r\n"
    "      </action>\r\n"
    "   </actionList>\r\n"
    "   <serviceStateTable>\r\n"
    "      <stateVariable sendEvents=\"yes\">\r\n"
    "         <name>SourceProtocolInfo</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"yes\">\r\n"
    "         <name>SinkProtocolInfo</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"yes\">\r\n"
    "         <name>CurrentConnectionIDs</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_ConnectionStatus</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "         <allowedValueList>\r\n"
    "            <allowedValue>OK</allowedValue>\r\n"
    "            <allowedValue>ContentFormatMismatch</allowedValue>\r\n"
    "            <allowedValue>InsufficientBandwidth</allowedValue>\r\n"
    "            <allowedValue>UnreliableChannel</allowedValue>\r\n"
    "            <allowedValue>Unknown</allowedValue>\r\n"
    "         </allowedValueList>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_ConnectionManager</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_Direction</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "         <allowedValueList>\r\n"
    "            <allowedValue>Input</allowedValue>\r\n"
    "            <allowedValue>Output</allowedValue>\r\n"
    "         </allowedValueList>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_ProtocolInfo</name>\r\n"
    "         <dataType>string</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_ConnectionID</name>\r\n"
    "         <dataType>i4</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_AVTransportID</name>\r\n"
    "         <dataType>i4</dataType>\r\n"
    "      </stateVariable>\r\n"
    "      <stateVariable sendEvents=\"no\">\r\n"
    "         <name>A_ARG_TYPE_RcsID</name>\r\n"
    "         <dataType>i4</dataType>\r\n"
    "      </stateVariable>\r\n"
    "   </serviceStateTable>\r\n"
    "</scpd>\r\n";

// The 200 head for a document of `length` bytes, then the document unless headOnly.
static void sendDocument(PlatformSocket socket, const char* version, const char* text, int length,
                         bool headOnly) {
    // Head and body in one send: a short document leaves in one segment.
    httpSendOkWith(socket, version, length, "text/xml", false, text, headOnly ? 0 : length);
}

// Device descriptions already rendered, by what they were rendered from: the same URL base,
// UDN and name always give the same bytes, so each is formatted once rather than per request.
// The table is small (one entry per served address, in practice); a full one gives up its
// oldest entry.
struct RenderedDescription {
    char urlBase[128];
    UdnText udn;
    FriendlyNameText name;
    char* body; // nullptr: a free entry
    int32_t length;
};
constexpr int kRenderedCount = 8;
// Longer documents (only from names full of escaped characters) are formatted every time.
constexpr int32_t kRenderedMaxLength = 8192;
static std::mutex renderedLock;
static RenderedDescription rendered[kRenderedCount];
static int renderedOldest = 0;

static bool sameSource(const RenderedDescription& entry, const char* urlBase, const UdnText& udn,
                       const FriendlyNameText& name) {
    return entry.body != nullptr && std::strcmp(entry.urlBase, urlBase) == 0 &&
           std::strcmp(entry.udn.text, udn.text) == 0 &&
           std::strcmp(entry.name.text, name.text) == 0;
}

// Copies the document rendered from these into `out` (kRenderedMaxLength bytes); its length, or
// -1 when there is none.
static int32_t findRendered(const char* urlBase, const UdnText& udn, const FriendlyNameText& name,
                            char* out) {
    std::lock_guard<std::mutex> hold(renderedLock);
    for (const RenderedDescription& entry : rendered) {
        if (sameSource(entry, urlBase, udn, name)) {
            std::memcpy(out, entry.body, static_cast<size_t>(entry.length));
            return entry.length;
        }
    }
    return -1;
}

static void keepRendered(const char* urlBase, const UdnText& udn, const FriendlyNameText& name,
                         const TextBuffer* body) {
    if (body->length > kRenderedMaxLength || std::strlen(urlBase) >= sizeof(rendered[0].urlBase)) {
        return;
    }
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(body->length)));
    if (copy == nullptr) {
        return;
    }
    std::memcpy(copy, body->text, static_cast<size_t>(body->length));
    std::lock_guard<std::mutex> hold(renderedLock);
    for (const RenderedDescription& entry : rendered) {
        if (sameSource(entry, urlBase, udn, name)) {
            std::free(copy); // another thread kept it meanwhile
            return;
        }
    }
    RenderedDescription& entry = rendered[renderedOldest];
    renderedOldest = (renderedOldest + 1) % kRenderedCount;
    std::free(entry.body);
    std::snprintf(entry.urlBase, sizeof entry.urlBase, "%s", urlBase);
    entry.udn = udn;
    entry.name = name;
    entry.body = copy;
    entry.length = body->length;
}

// Formats the document into `body`; false when memory is short.
static bool renderDeviceDescription(const char* urlBase, const UdnText& udn,
                                    const FriendlyNameText& friendlyName, TextBuffer* body) {
    // The name as XML character data: a host name holding '&', '<' or '>' (legal in some
    // Windows computer names) would otherwise break the document.
    const int32_t nameLimit = 5 * static_cast<int32_t>(sizeof friendlyName.text);
    TextBuffer* name = textBufferCreate(nullptr, nameLimit + 1);
    TextBuffer* icons = textBufferCreate(nullptr, 256 * kDeviceIconCount);
    bool made = name != nullptr && icons != nullptr;
    if (made) {
        textBufferAppendXml(name, friendlyName.text, XmlEscape::Once, nameLimit);
        for (int32_t i = 0; i < kDeviceIconCount; i++) {
            const DeviceIcon& icon = kDeviceIcons[i];
            textBufferAppendFormat(icons, kIconFormat, icon.mimeType, static_cast<int>(icon.width),
                                   static_cast<int>(icon.height), icon.path);
        }
        textBufferAppendFormat(body, kDeviceTemplate, udn.text, name->text, urlBase, icons->text,
                               urlBase);
    }
    textBufferFree(name);
    textBufferFree(icons);
    return made;
}

void sendDeviceDescription(PlatformSocket socket, const char* version, const char* urlBase,
                           bool headOnly) {
    FriendlyNameText friendlyName = deviceFriendlyName();
    UdnText udn = deviceUdn();
    char kept[kRenderedMaxLength];
    int32_t length = findRendered(urlBase, udn, friendlyName, kept);
    if (length >= 0) {
        sendDocument(socket, version, kept, length, headOnly);
        return;
    }
    const int32_t nameLimit = 5 * static_cast<int32_t>(sizeof friendlyName.text);
    TextBuffer* body = textBufferCreate(nullptr, sizeof kDeviceTemplate + 2048 + nameLimit +
                                                     256 * kDeviceIconCount);
    if (body != nullptr && renderDeviceDescription(urlBase, udn, friendlyName, body)) {
        keepRendered(urlBase, udn, friendlyName, body);
        sendDocument(socket, version, body->text, body->length, headOnly);
    }
    textBufferFree(body);
}

void sendContentDirectoryDescription(PlatformSocket socket, const char* version, bool headOnly) {
    sendDocument(socket, version, kContentDirectoryScpd,
                 static_cast<int>(sizeof kContentDirectoryScpd - 1), headOnly);
}

void sendConnectionManagerDescription(PlatformSocket socket, const char* version, bool headOnly) {
    sendDocument(socket, version, kConnectionManagerScpd,
                 static_cast<int>(sizeof kConnectionManagerScpd - 1), headOnly);
}
