#pragma once
#include <string>

// Text constants shared by the whole system. Each source file that includes this header builds
// its own copy at load time; none is ever changed.
static const std::string vmFatalError = "**FatalError**";
static const std::string JMBackupOptypeListForBLR = "4, 14, 18, 30, 43, 59, 60, 65";
static const std::string ZT_ROAM_DRIVE_USER_ID = "Roam Drive User Id";
static const std::string ZT_ROAM_DRIVE_USER_GUID = "Roam Drive User GUID";
static const std::string ZT_PROP_UNC_CREDENTIAL_REF_ID = "UNCPath Credential Assoc Id";
static const std::string ZT_PROP_PREPOST_CREDENTIAL_REF_ID = "prepost Credential Assoc Id";
static const std::string ZT_PROP_USE_CREDENTIAL_USER = "Use Credential Record";
static const std::string ZT_DB_DUMP_CONFIG_XML = "DB Dump Config";
static const std::string ZT_ORACLE_DB_ARCHIVE_CONFIG_OPTIONS_XML = "Oracle DB Archive Config Options XML";
static const std::string ZT_PROP_SHAREPOINT_SQL_CLIENT_ID = "SharePoint SQL Client Id";
static const std::string ZT_PROP_SHAREPOINT_RBS_CLIENT_ID = "SharePoint RBS Store Client Id";
static const std::string ZT_PROP_VDI_TIMEOUT = "MSSQL VDI Timeout";
static const std::string ZT_CLOUD_USER_ID = "Cloud User ID";
static const std::string ZT_CLOUD_USER_PASSWORD = "Cloud User Password";
static const std::string ZT_CLOUD_AZURE_SUBSCRIPTION_ID = "Azure Subscription Id";
static const std::string ZT_CLOUD_AZURE_TENANT_ID = "Azure Tenant Id";
static const std::string ZT_PROP_CLOUD_VS_AMAZON_ACCESS_KEY = "Amazon Center Access Key";
static const std::string ZT_PROP_CLOUD_VS_AMAZON_SECRET_KEY = "Amazon Center Secret Key";
static const std::string CatalogXMLFolder = "CatalogXML";
